// A scan started from the window against `qrv-cli scan` of the same image, in
// the same run, as a ratio. The window's side is the real one: a main window
// on the offscreen platform starts the scan through Start_Scan (its worker,
// the message dispatcher, the progress dialog polling its record) and the
// time runs until the window is idle again with the dialog closed. The
// command line's side runs the qrv-cli built beside this program, its table
// and log thrown away. The image's pages are warmed by a first, untimed scan.
//
// usage: window_scan_bench [--image PATH | --sparse-gib N] [--rounds N]
//   --image  an image file (default: scan_bench's 1,024 MiB image, made by
//            running scan_bench once)
//   --sparse-gib  a sparse image of zeros of N GiB made in the temporary
//            folder for this run and removed afterwards
// Prints each round, the median ratio window / qrv-cli, and how often the
// progress dialog's first gauge moved per second of the window's scans.
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/progress_dialog.h"
#include "app/scan_start.h"
#include "common/language.h"
#include "media/tree_data.h"

using namespace qrv;
using namespace qrv::app;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds_Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int64_t File_Size(const std::string& path) {
    QFile f(QString::fromStdString(path));
    return f.exists() ? f.size() : -1;
}

// The node the scan dialog would hand over for an image file scanned as RAW,
// the whole of it.
TScanParams Image_Params(const std::string& path, int64_t size) {
    TScanParams p;
    p.Node.Level = 1;
    p.Node.Hddtype = HDD_IMAGE;
    p.Node.HddNumber = "Image File";
    p.Node.HddModel = path;
    p.Node.HddFs = "RAW";
    p.Node.PerSecBytes = 512;
    p.Node.TotalSpace = size;
    p.StartSec = 0;
    p.EndSec = size / 512;
    return p;
}

// Waits in the event loop (not spinning) until done() holds.
template <class F> void Wait_Until(F done) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done()) loop.quit();
    });
    poll.start(5);
    loop.exec();
}

double Cli_Scan(const QString& cli, const std::string& image) {
    QProcess proc;
    proc.setStandardOutputFile(QProcess::nullDevice());
    proc.setStandardErrorFile(QProcess::nullDevice());
    const auto t = Clock::now();
    proc.start(cli, {"scan", QString::fromStdString(image)});
    if (!proc.waitForFinished(-1) || proc.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "qrv-cli scan did not finish\n");
        std::exit(1);
    }
    return Seconds_Since(t);
}

struct TWindowRun {
    double Seconds = 0;
    int GaugeMoves = 0;
};

TWindowRun Window_Scan(TForm1& form, const TScanParams& p) {
    TWindowRun run;
    auto* g1 = form.Form2()->findChild<QProgressBar*>("g1");
    const auto c = QObject::connect(g1, &QProgressBar::valueChanged, [&] { ++run.GaugeMoves; });
    const auto t = Clock::now();
    if (!Start_Scan(form, p)) {
        std::fprintf(stderr, "the window did not start the scan\n");
        std::exit(1);
    }
    // The scan is over when its worker has ended, every event it sent has
    // been handled and the dialog has closed.
    Wait_Until([&] { return form.Workers_Idle() && !form.Form2()->isVisible(); });
    run.Seconds = Seconds_Since(t);
    QObject::disconnect(c);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    std::string image;
    int sparseGiB = 0, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--image")
            image = argv[i + 1];
        else if (a == "--sparse-gib")
            sparseGiB = std::atoi(argv[i + 1]);
        else if (a == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: window_scan_bench [--image PATH | --sparse-gib N] [--rounds N]\n");
            return 2;
        }
    }
    QApplication app(argc, argv);
    const QString cli = QCoreApplication::applicationDirPath() + "/qrv-cli";
    if (!QFile::exists(cli)) {
        std::fprintf(stderr, "no qrv-cli beside this program: %s\n", qPrintable(cli));
        return 1;
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::string tmpDir = tmp && *tmp ? tmp : "/tmp";
    std::string made; // a sparse image made for this run, removed at the end
    if (sparseGiB > 0) {
        made = tmpDir + "/qrv-window-bench-" + std::to_string(sparseGiB) + "GiB-" +
               std::to_string(::getpid()) + ".img";
        const int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || ::ftruncate(fd, int64_t(sparseGiB) << 30) != 0) {
            std::fprintf(stderr, "cannot make %s\n", made.c_str());
            return 1;
        }
        ::close(fd);
        image = made;
    }
    if (image.empty()) image = tmpDir + "/qrv-scan-bench-1024MiB.img";
    const int64_t size = File_Size(image);
    if (size <= 0) {
        std::fprintf(stderr, "no image %s (run scan_bench once to make it)\n", image.c_str());
        return 1;
    }

    // A program folder of its own: Chinese interface, no language file.
    QTemporaryDir folder;
    QDir(folder.path()).mkpath("Updata/skin");
    {
        QFile ini(folder.path() + "/" + QString::fromStdString(LANGUAGE_SETTINGS_FILE));
        if (!ini.open(QIODevice::WriteOnly) || ini.write("0\r\n") != 3) return 1;
    }
    TForm1 form(folder.path().toStdString());
    form.Set_EnumRoots({"/nonexistent-qrv/sys", "/nonexistent-qrv/dev", "/nonexistent-qrv/mountinfo"});
    form.show();

    const TScanParams p = Image_Params(image, size);
    std::printf("image %s, %.2f GiB\n", image.c_str(), double(size) / double(int64_t(1) << 30));
    Cli_Scan(cli, image); // warms the page cache
    std::vector<double> ratios;
    double windowSeconds = 0;
    int moves = 0;
    for (int r = 0; r < rounds; ++r) {
        // The order alternates so that neither side always runs second.
        double c = 0;
        TWindowRun w;
        if (r % 2 == 0) {
            c = Cli_Scan(cli, image);
            w = Window_Scan(form, p);
        } else {
            w = Window_Scan(form, p);
            c = Cli_Scan(cli, image);
        }
        windowSeconds += w.Seconds;
        moves += w.GaugeMoves;
        ratios.push_back(w.Seconds / c);
        std::printf("round %d: window %.3f s, qrv-cli %.3f s, ratio %.3f, gauge moves %d\n", r + 1, w.Seconds,
                    c, w.Seconds / c, w.GaugeMoves);
        std::fflush(stdout);
    }
    std::printf("median ratio window / qrv-cli: %.3f (target at most 1.2)\n", Median(ratios));
    std::printf("progress gauge moves per second of window scan: %.1f\n",
                windowSeconds > 0 ? moves / windowSeconds : 0.0);
    if (!made.empty()) std::remove(made.c_str());
    return 0;
}
