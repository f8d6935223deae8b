// qrv-screenshot: opens the real main window in a chosen state and writes a
// PNG of it (or of the progress dialog) with QWidget::grab(). Runs on the
// offscreen platform unless a display is given. Used for the manual's
// pictures and to look at the window without a desktop.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTreeWidget>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/advanced_dialog.h"
#include "app/icons.h"
#include "app/main_window.h"
#include "app/preview_panel.h"
#include "app/progress_dialog.h"
#include "app/prompts.h"
#include "app/region_dialog.h"
#include "app/results_table.h"
#include "app/search_dialog.h"
#include "app/settings_dialog.h"
#include "app/thumbnails.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "export/preview_sample.h"
#include "platform/program_folder.h"
#include "results/results_model.h"
#include "scan/records.h"
#include "sources/source_tree.h"

using namespace qrv;

namespace {

const char* kUsage = "Usage: qrv-screenshot --out FILE.png [options]\n"
                     "Opens the QRV main window in a given state and writes a PNG of it.\n"
                     "  --lang zh|en     interface language (default zh)\n"
                     "  --page 0|1       page shown: 0 sources, 1 results (default 0)\n"
                     "  --progress       grab the progress dialog of a running operation instead\n"
                     "  --menu NAME      grab one popup menu instead (pm1, pm2, pmLog, pmSter0)\n"
                     "  --demo           fill the window with example sources, log lines and results\n"
                     "                   (one of each level, two of them checked)\n"
                     "  --play FILE      play FILE (a recording or a preview sample) in the preview\n"
                     "                   panel and grab the window once pictures are shown (page 1)\n"
                     "  --image FILE     open FILE as an image source (its partitions become regions)\n"
                     "                   and focus its first region\n"
                     "  --scan           with --image: scan the focused region through the scan dialog and\n"
                     "                   wait for the results and their thumbnails (use with --page 1)\n"
                     "  --show WHAT      tree (default), hex (the hex view of the focused node), or a\n"
                     "                   dialog of the focused node: scan, advanced, region, imaging;\n"
                     "                   or search (the search dialog of the results page)\n"
                     "  --colors N       reduce the picture to N colours (2..256) for a small file\n"
                     "  --help           this text\n"
                     "The platform is offscreen unless QT_QPA_PLATFORM or DISPLAY say otherwise.\n";

struct TOptions {
    std::string Out;
    bool English = false;
    int Page = 0;
    bool Progress = false;
    std::string Menu;
    bool Demo = false;
    std::string Image;
    bool Scan = false;
    std::string Play;
    std::string Show = "tree";
    int Colors = 0;
};

std::string T(const char* text) {
    return Tr(text);
}

// Example sources through the core's own tree builder: a card reader with one
// FAT32 volume, as the refresh would list it, the volume focused.
void Demo_Sources(app::TForm1& form) {
    TDiskList list;
    TPhysicalDisk disk;
    disk.Number = 0, disk.Name = "sdb", disk.DevPath = "/dev/sdb", disk.Model = "Generic SD/MMC Reader";
    disk.Size = 31914983424, disk.Removable = true;
    list.Disks.push_back(disk);
    TLogHDD vol;
    vol.LogPan = "/dev/sdb1", vol.PhyNumber = 0, vol.FS = "FAT32", vol.LogVolum = "VANTO";
    vol.SectorsPerCluster = 64, vol.BytesPerSector = 512, vol.TotalClusters = 973584,
    vol.NumFreeClusters = 951022;
    vol.TotalSpace = 31906594816;
    list.Volumes.push_back(vol);
    Fill_SourceTree(form.Sources(), list, "forensic-pc");
    const TSourceNode* volume = form.Sources().Root()->Children()[0]->Children()[0].get();
    form.Show_Sources(volume);
    // The properties as a click shows them; the example devices are not read.
    auto* properties = form.findChild<QTreeWidget*>("lvHDDAttribute");
    properties->clear();
    for (const auto& [name, value] : Node_Properties(volume->Data))
        new QTreeWidgetItem(properties, {QString::fromStdString(name), QString::fromStdString(value)});
}

// Opens an image file through the window's own command and focuses the first
// region found in it (or the image itself).
bool Open_DemoImage(app::TForm1& form, const std::string& path) {
    auto previous = app::Set_OpenFileHook(
        [path](QWidget*, const QString&, const QString&) { return QString::fromStdString(path); });
    const size_t before = form.Sources().Root()->Children().size();
    form.btnOpenImgClick();
    app::Set_OpenFileHook(previous);
    const auto& images = form.Sources().Root()->Children();
    if (images.size() == before) return false;
    const TSourceNode* image = images.back().get();
    form.Show_Sources(image->Children().empty() ? image : image->Children()[0].get());
    form.vrtlstrngtr1NodeClick();
    return true;
}

void Demo_Log() {
    Send_Log(T("扫描开始"), T("开始扫描,扫描对象:") + "/dev/sdb1");
    Send_Log(T("扫描完成"), T("扫描成功完成!"));
    Send_Log(T("分析开始"), T("开始分析文件头并进行匹配..."));
    Send_Log(T("分析完成"), T("分析文件头完成!"));
}

// Example results through the core's own listing: one recording of every
// level, the first two checked with their totals shown.
void Demo_Results(app::TForm1& form) {
    struct {
        int level;
        const char *model, *date, *seconds;
        int64_t length, real;
    } const rows[] = {
        {0, "VANTO DSJ-V7", "2024-03-01 09:05:07", "180", 314572800, 314572800},
        {0, "VANTO DSJ-V7", "2024-03-01 09:08:11", "180", 313524224, 313524224},
        {1, "VANTO DSJ-V7", "2024-03-01 09:11:15", "175.5", 306184192, 305135616},
        {2, "VANTO DSJ-V7", "2024-03-01 10:42:00", "96", 167772160, 150994944},
        {3, "VANTO DSJ-S2", "2024-02-27 16:20:31", "42.75", 73400320, 20971520},
    };
    TScanSession& session = *form.Shown_Session();
    for (const auto& r : rows) {
        TRebuildResult res;
        TFragmenArr head, data;
        head.FragmenType = 1;
        data.FragmenType = 2;
        res.FragmenArray = {head, data};
        res.Fragmenum = 2;
        res.Leavelx = r.level;
        res.CarmerModel = r.model;
        res.CreateTime = r.date;
        res.Durting = r.seconds;
        res.MdatLenx = r.length;
        res.TrueFileLen = r.real;
        session.Rebuilds.Append(res);
    }
    To_View(session, 0, session.Rebuilds.Count());
    form.Results()->Model().Set_Checked(0, true);
    form.Results()->Model().Set_Checked(1, true);
    // Two rows as after an export: one decodes cleanly, the last one does not.
    form.Results()->Model().Set_Decode(0, 0, -1);
    form.Results()->Model().Set_Decode(4, 12, 65.2);
    form.Show_Totals();
}

// Plays a file in the preview panel until pictures are shown, then pauses it
// so the picture holds still.
bool Play_Demo(app::TForm1& form, const std::string& path) {
    Set_PreviewPath(path);
    form.btnPlayStartClick();
    app::TPreviewPlayer* player = form.Preview();
    for (int i = 0; i < 400 && player->Frames_Shown() < 12; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    if (player->Frames_Shown() == 0) return false;
    form.btnPlayPauseClick();
    return true;
}

bool Parse(int argc, char** argv, TOptions& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--out")
            o.Out = value();
        else if (a == "--lang") {
            std::string v = value();
            if (v != "zh" && v != "en") return false;
            o.English = v == "en";
        } else if (a == "--page") {
            std::string v = value();
            if (v != "0" && v != "1") return false;
            o.Page = v[0] - '0';
        } else if (a == "--progress")
            o.Progress = true;
        else if (a == "--menu")
            o.Menu = value();
        else if (a == "--demo")
            o.Demo = true;
        else if (a == "--image")
            o.Image = value();
        else if (a == "--scan")
            o.Scan = true;
        else if (a == "--play")
            o.Play = value();
        else if (a == "--show") {
            o.Show = value();
            if (o.Show != "tree" && o.Show != "hex" && o.Show != "scan" && o.Show != "advanced" &&
                o.Show != "region" && o.Show != "imaging" && o.Show != "search")
                return false;
        } else if (a == "--colors") {
            o.Colors = std::atoi(value().c_str());
            if (o.Colors < 2 || o.Colors > 256) return false;
        } else
            return false;
    }
    return !o.Out.empty() && (!o.Scan || !o.Image.empty());
}

// Scans the focused node as a user does: the scan dialog with its defaults,
// the results saved into the tool's own folder; waits for the list and for
// the thumbnails of its rows.
bool Scan_Demo(app::TForm1& form, const QString& saveFolder) {
    auto previous = app::Set_BoxHook([](const app::TBoxRequest&) { return app::TBoxAnswer::Ok; });
    auto previousFolder = app::Set_FolderHook([saveFolder](QWidget*, const QString&) { return saveFolder; });
    form.btnscanClick();
    for (int i = 0; i < 10; ++i) {
        QApplication::processEvents();
        QThread::msleep(30);
    }
    form.Form3()->btnStartScanClick();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    auto wait = [&](const auto& done) {
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            QApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(10);
        }
        return done();
    };
    const bool listed = wait([&] { return form.Workers_Idle() && !form.Form2()->isVisible(); }) &&
                        form.Results()->rowCount() > 0;
    app::Set_BoxHook(previous);
    app::Set_FolderHook(previousFolder);
    return listed && wait([&] { return form.Results()->Thumbnails()->Pending() == 0; });
}

} // namespace

int main(int argc, char** argv) {
    TOptions opt;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A picture needs no sound: SDL's silent driver unless another is asked for.
    if (qEnvironmentVariableIsEmpty("SDL_AUDIODRIVER")) qputenv("SDL_AUDIODRIVER", "dummy");
    QApplication app(argc, argv);
    if (!Parse(argc, argv, opt)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    // A program folder of the tool's own, so the chosen language never touches
    // the settings stored beside the program.
    QTemporaryDir folder;
    QDir(folder.path()).mkpath("Updata/skin");
    QFile settings(folder.path() + "/" + LANGUAGE_SETTINGS_FILE);
    if (!settings.open(QIODevice::WriteOnly) || settings.write(opt.English ? "1\r\n" : "0\r\n") != 3) {
        std::fprintf(stderr, "qrv-screenshot: cannot write %s\n", qPrintable(settings.fileName()));
        return 1;
    }
    settings.close();
    if (opt.English) {
        const QString lng = QString::fromStdString(Program_Folder() + "/" + LANGUAGE_FILE);
        if (!QFile::copy(lng, folder.path() + "/" + LANGUAGE_FILE)) {
            std::fprintf(stderr, "qrv-screenshot: no language file at %s\n", qPrintable(lng));
            return 1;
        }
    }

    // Recent files and chosen folders go to the tool's own settings, never the user's.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.path() + "/config"));
    app::TForm1 form(folder.path().toStdString());
    form.show();
    QApplication::processEvents();
    if (opt.Demo) {
        Demo_Sources(form);
        Demo_Log();
        Demo_Results(form);
    }
    if (!opt.Image.empty() && !Open_DemoImage(form, opt.Image)) {
        std::fprintf(stderr, "qrv-screenshot: cannot open the image %s\n", opt.Image.c_str());
        return 1;
    }
    if (opt.Scan && !Scan_Demo(form, folder.path())) {
        std::fprintf(stderr, "qrv-screenshot: the scan of %s listed nothing\n", opt.Image.c_str());
        return 1;
    }
    if (opt.Page == 1 || !opt.Play.empty())
        // The page as the results command shows it, rows kept.
        form.findChild<QTabWidget*>("pgc1")->setCurrentIndex(1);
    else
        form.btnSelClick();
    if (!opt.Play.empty() && !Play_Demo(form, opt.Play)) {
        std::fprintf(stderr, "qrv-screenshot: no picture of %s could be shown\n", opt.Play.c_str());
        return 1;
    }

    QWidget* target = &form;
    // Dialogs: every question is answered with OK and every folder asked for
    // is the temporary folder, so the dialogs show filled in.
    app::Set_BoxHook([](const app::TBoxRequest&) { return app::TBoxAnswer::Ok; });
    app::Set_FolderHook([](QWidget*, const QString&) { return QDir::tempPath(); });
    auto settle = [] {
        for (int i = 0; i < 5; ++i) {
            QApplication::processEvents();
            QThread::msleep(60);
        }
    };
    if (opt.Show == "hex") {
        form.btnHexClick();
    } else if (opt.Show == "scan" || opt.Show == "advanced") {
        form.btnscanClick();
        settle(); // the prompt to save the results comes 100 ms after the dialog
        target = form.Form3();
        if (opt.Show == "advanced") {
            form.Form3()->Open_AdvancedSettings();
            target = form.Form7();
        }
    } else if (opt.Show == "region") {
        form.btnCreateRegionClick();
        target = form.Form4();
    } else if (opt.Show == "search") {
        form.btnSerachClick();
        target = form.Form6();
    } else if (opt.Show == "imaging") {
        form.btnToimageClick();
        form.Form3()->Choose_ImageFolder();
        target = form.Form3();
    }
    if (target != &form && !target->isVisible()) {
        std::fprintf(stderr, "qrv-screenshot: the %s dialog did not open (no source focused?)\n",
                     opt.Show.c_str());
        return 1;
    }
    if (opt.Progress) {
        TOpState& st = *form.Running_Op();
        const TOpBinding reporting(st);
        Send_UIMessage(MSG_PROGRESS_START, {"60870", T("总块数:")});
        Send_UIMessage(MSG_SHOW_GAUGE2);
        Send_UIMessage(MSG_GAUGE2_RANGE, {"48"});
        Send_UIMessage(MSG_PROGRESS_STATUS, {"", T("已扫描块数:") + "41236", T("已发现:") + "23"});
        st.Set_StartTime(std::chrono::system_clock::now() - std::chrono::seconds(3723));
        st.Progress1 = 41236;
        st.Progress2 = 17;
        st.WrittenBytes = 1610612736;
        form.Form2()->tmr1Timer();
        target = form.Form2();
    }
    if (!opt.Menu.empty()) {
        auto* menu = form.findChild<QMenu*>(QString::fromStdString(opt.Menu));
        if (!menu) {
            std::fprintf(stderr, "qrv-screenshot: no menu %s\n", opt.Menu.c_str());
            return 2;
        }
        menu->popup(form.mapToGlobal(QPoint(200, 100)));
        target = menu;
    }
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();

    QImage shot = target->grab().toImage();
    if (opt.Colors > 0) {
        // A palette picked from the picture itself: the most frequent colours,
        // each kept only when it differs clearly from those already taken, so
        // that small marks in rare colours (the yellow level mark) keep theirs.
        shot = shot.convertToFormat(QImage::Format_RGB32);
        QHash<QRgb, int> counts;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x)
                ++counts[shot.pixel(x, y)];
        QList<QPair<int, QRgb>> byCount;
        for (auto it = counts.begin(); it != counts.end(); ++it)
            byCount.append({it.value(), it.key()});
        std::sort(byCount.begin(), byCount.end(), [](auto& a, auto& b) { return a.first > b.first; });
        QList<QRgb> table;
        auto distant = [&](QRgb c, int limit) {
            for (QRgb t : table) {
                const int dr = qRed(c) - qRed(t), dg = qGreen(c) - qGreen(t), db = qBlue(c) - qBlue(t);
                if (dr * dr + dg * dg + db * db < limit * limit) return false;
            }
            return true;
        };
        for (int limit : {48, 24, 12, 0})
            for (int i = 0; i < byCount.size() && table.size() < opt.Colors; ++i)
                if (!table.contains(byCount[i].second) && distant(byCount[i].second, limit))
                    table << byCount[i].second;
        shot = shot.convertToFormat(QImage::Format_Indexed8, table, Qt::ThresholdDither);
    }
    if (!shot.save(QString::fromStdString(opt.Out), "PNG")) {
        std::fprintf(stderr, "qrv-screenshot: cannot write %s\n", opt.Out.c_str());
        return 1;
    }
    // Leave nothing running behind: end any progress the picture showed.
    Send_UIMessage(MSG_PROGRESS_END);
    return 0;
}
