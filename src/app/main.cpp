// qrv: the desktop program. Its command line names image files to open as
// sources at start (the desktop entry passes the files it is opened with).
#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>

#include "app/main_window.h"
#include "platform/program_folder.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("Usage: qrv [IMAGE...]\n"
                        "The QRV desktop program: recovers deleted or damaged recordings of body-worn and\n"
                        "hand-held cameras from disks, volumes, disk images and sector ranges.\n"
                        "It reads its language settings from Updata/skin/ beside the program and opens\n"
                        "Help.html from the same folder. Each IMAGE file is opened as a source at start,\n"
                        "as \"Open image\" does. For scripts and servers use qrv-cli.\n");
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("qrv");
    qrv::app::TForm1 window(qrv::Program_Folder());
    window.show();
    // Qt has taken its own options out of argv by now; what is left are files.
    QStringList images;
    for (int i = 1; i < argc; ++i)
        images << QString::fromLocal8Bit(argv[i]);
    if (!images.isEmpty()) window.Open_ImageFiles(images);
    return app.exec();
}
