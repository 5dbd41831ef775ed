// (not written yet)
