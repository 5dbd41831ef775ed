# Sourced by the scripts that run the updater against the simulated camera (scripts/demo.sh, the Windows
# command line tests): write_sample_image FILE writes the sample firmware image, the identification
# text, version characters "0100" (shown as 1.00; the simulated camera has 0.60) and a payload of 4096
# blocks of 256 bytes, each naming its own number. It fails when the file did not come out at
# IMAGE_SIZE bytes.
IMAGE_HEADER_SIZE=128
IMAGE_SIZE=1048704
write_sample_image() {
  {
    printf '%s' 'Corva Lumen Precision QX410 Zoom camera. Firmware'
    head -c 12 /dev/zero
    printf '0100'
    head -c 63 /dev/zero
    for ((block = 0; block < 4096; block++)); do
      printf '%-256s' "QX410 sample firmware 1.00, block $block of 4096."
    done
  } >"$1"
  [ "$(stat -c %s "$1")" -eq "$IMAGE_SIZE" ]
}
