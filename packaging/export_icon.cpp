// qx410-export-icon: writes the program's window icon (res/app_icon.xpm) as a PNG file, so the installed
// desktop entry shows the same picture as the running window. Run by the build; no display needed.
#include <QImage>
#include <QString>
#include <cstdio>

#include "res/bitmaps.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qx410-export-icon OUTPUT.png\n");
        return 2;
    }
    const QImage icon(res::AppIconXpm());
    if (icon.isNull() || !icon.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "qx410-export-icon: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
