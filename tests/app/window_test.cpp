// The main window as a user meets it: start-up in either language, the
// language commands, the log's save and clear commands, help, the title bar
// (moving, maximising, resizing from the edges), the recent files of "打开镜像",
// the version shown, and shutting down with work still running.
#include <QLibraryInfo>
#include <QAbstractItemView>
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QDesktopServices>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include <atomic>
#include <thread>

#include "app/advanced_dialog.h"
#include "app/main_window.h"
#include "app/progress_dialog.h"
#include "app/region_dialog.h"
#include "app/search_dialog.h"
#include "app/settings_dialog.h"
#include "app/window_settings.h"
#include "app_test_support.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "scan/records.h"

using namespace qrv;
using namespace qrv::app;
using namespace qrv::apptest;

// Receives the URLs the window asks the desktop to open.
class TUrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> Urls;
  public slots:
    void Open(const QUrl& url) { Urls << url; }
};

class TWindowTest : public QObject {
    Q_OBJECT

    template <class T> static T* W(QWidget* form, const char* name) {
        T* w = form->findChild<T*>(name);
        if (!w) qFatal("no element %s", name);
        return w;
    }

    // Every caption the language rules translate, as the user sees them:
    // window titles, buttons, labels, group boxes, tabs, column captions,
    // top-level items of popup menus.
    static QStringList Translatable_Texts(QWidget* window) {
        QStringList out{window->windowTitle()};
        for (QObject* o : window->findChildren<QObject*>()) {
            if (auto* b = qobject_cast<QAbstractButton*>(o))
                out << b->text();
            else if (auto* l = qobject_cast<QLabel*>(o); l && !l->parent()->inherits("QStatusBar"))
                out << l->text();
            else if (auto* g = qobject_cast<QGroupBox*>(o))
                out << g->title();
            else if (auto* t = qobject_cast<QTabWidget*>(o))
                for (int i = 0; i < t->count(); ++i)
                    out << t->tabText(i);
            else if (auto* v = qobject_cast<QTreeView*>(o))
                for (int c = 0; c < v->model()->columnCount(); ++c)
                    out << v->model()->headerData(c, Qt::Horizontal).toString();
            else if (auto* m = qobject_cast<QMenu*>(o); m && !qobject_cast<QMenu*>(m->parent()))
                for (QAction* a : m->actions())
                    out << a->text();
        }
        out.removeAll(QString());
        return out;
    }

  private slots:
    void cleanup() {
        // Back to Chinese for the next test.
        TProgramFolder chinese;
        TForm1 reset(chinese.Path());
    }

    void start_up_language_data() {
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<bool>("languageFile");
        QTest::addColumn<bool>("english");
        QTest::addColumn<int>("languageId");
        QTest::newRow("1 with language file") << QByteArray("1\r\n") << true << true << 1033;
        QTest::newRow("1 without language file") << QByteArray("1\r\n") << false << false << 1033;
        QTest::newRow("0") << QByteArray("0\r\n") << true << false << 2052;
        QTest::newRow("2 is Chinese") << QByteArray("2\r\n") << true << false << 2052;
        QTest::newRow("abc is Chinese") << QByteArray("abc") << true << false << 2052;
        QTest::newRow("empty file is Chinese") << QByteArray() << true << false << 2052;
    }
    void start_up_language() {
        QFETCH(QByteArray, setting);
        QFETCH(bool, languageFile);
        QFETCH(bool, english);
        QFETCH(int, languageId);
        TProgramFolder folder(setting.constData(), languageFile);
        TForm1 form(folder.Path());
        QCOMPARE(int(Get_LanguageId()), languageId);
        QCOMPARE(Language_ImageOf(W<QAction>(&form, "N24")->icon()), languageId == 1033 ? 10 : 9);
        struct {
            QWidget* window;
            const char* name;
            const char* chinese;
            const char* english;
        } const cases[] = {
            {&form, "btnRef", "刷新磁盘(&C)", "Refresh disks(&C)"},
            {&form, "btnSel", "选择磁盘", "Select disk"},
            {&form, "chkMute", "静音", "Mute"},
            {&form, "lblVersionCaption", "    程序版本:", "Program version:"},
            {&form, "N24", "界面语言&", "Interface language&"}, // top-level menu item
            {&form, "N32", "简体中文", "简体中文"},             // submenu items keep their text
            {&form, "grpLog", "日志", "Log"},
            {form.Form2(), "btn1", "停止(&E)", "Stop(&E)"},
        };
        for (const auto& c : cases) {
            QObject* o = c.window->findChild<QObject*>(c.name);
            QVERIFY2(o, c.name);
            QString text = o->property("text").toString();
            if (auto* g = qobject_cast<QGroupBox*>(o)) text = g->title();
            QCOMPARE(text, QString::fromUtf8(english ? c.english : c.chinese));
        }
        auto* pgc1 = W<QTabWidget>(&form, "pgc1");
        QCOMPARE(pgc1->tabText(0),
                 english ? QString("Select a disk (or image file)") : QString("选择磁盘(或者镜像文件)"));
        QCOMPARE(W<QTreeWidget>(&form, "lvlog")->headerItem()->text(0),
                 english ? QString("Type") : QString("类型"));
        QCOMPARE(form.Form2()->windowTitle(),
                 english ? QString("Scan/Save/Load/Image progress") : QString("扫描/保存/加载/镜像进度"));
        // Hints and edit fields are never translated.
        QCOMPARE(W<QTreeWidget>(&form, "vrtlstrngtr1")->toolTip(),
                 QString("选择要扫描的对象，点击右键进行扫描!"));
        // The toolkit's own pickers speak Chinese too, where Qt's translations are installed.
        if (languageId == 2052 && QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_zh_CN.qm"))
            QCOMPARE(QCoreApplication::translate("QFileDialog", "Look in:"), QString("查找范围："));
    }

    // Started in English, no caption a language rule covers is left in Chinese
    // (apart from the menu item that names Chinese itself).
    void english_leaves_no_chinese_caption() {
        TProgramFolder folder("1\r\n");
        TForm1 form(folder.Path());
        form.Set_EnumRoots(No_Disks());
        form.show();
        QStringList chinese;
        for (QWidget* window : {static_cast<QWidget*>(&form), static_cast<QWidget*>(form.Form2())})
            for (const QString& t : Translatable_Texts(window))
                if (Has_Cjk(t) && t != "简体中文") chinese << t;
        QVERIFY2(chinese.isEmpty(), qPrintable(chinese.join(" / ")));
    }

    // Every control that takes the focus tells a screen reader what it is: the
    // name AT-SPI reads (its accessible name, or the text it shows) is not
    // empty, and in English it holds no Chinese, in the main window and in
    // every dialog.
    void every_control_has_a_name_data() {
        QTest::addColumn<QByteArray>("setting");
        QTest::newRow("Chinese") << QByteArray("0\r\n");
        QTest::newRow("English") << QByteArray("1\r\n");
    }
    void every_control_has_a_name() {
        QFETCH(QByteArray, setting);
        TProgramFolder folder(setting.constData());
        TForm1 form(folder.Path());
        form.Set_EnumRoots(No_Disks());
        form.show();
        const bool english = setting.startsWith('1');
        QStringList unnamed, counted;
        for (QWidget* window : std::initializer_list<QWidget*>{&form, form.Form2(), form.Form3(),
                                                               form.Form4(), form.Form6(), form.Form7()}) {
            for (QWidget* w : window->findChildren<QWidget*>()) {
                if (w->focusPolicy() == Qt::NoFocus || w->inherits("QScrollBar") ||
                    qobject_cast<QAbstractItemView*>(w->parentWidget()) ||
                    w->inherits("QComboBoxPrivateContainer"))
                    continue;
                // A combo box's text is its current item, not what it is for.
                QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
                QString name = w->accessibleName();
                if (name.isEmpty() && a && !qobject_cast<QComboBox*>(w)) name = a->text(QAccessible::Name);
                bool letter = false;
                for (QChar c : name)
                    letter = letter || c.isLetterOrNumber();
                counted << name;
                if (!letter || (english && Has_Cjk(name) && name != "简体中文"))
                    unnamed << window->objectName() + "/" + w->objectName() + "(" +
                                   w->metaObject()->className() + ")=" + name;
            }
        }
        QVERIFY(counted.size() > 40);
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join("\n")));
    }

    void language_commands_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("settingsExist");
        for (const char* c : {"English1", "N32"}) {
            QTest::addRow("%s with settings file", c) << c << true;
            QTest::addRow("%s without settings file", c) << c << false;
        }
    }
    void language_commands() {
        QFETCH(QString, command);
        QFETCH(bool, settingsExist);
        const bool english = command == "English1";
        TProgramFolder folder(settingsExist ? (english ? "0\r\n" : "1\r\n") : nullptr);
        TForm1 form(folder.Path());
        TBoxRecorder boxes;
        W<QAction>(&form, command.toLatin1())->trigger();
        QCOMPARE(boxes.Boxes.size(), size_t(1));
        const TBoxRequest& r = boxes.Boxes[0];
        QCOMPARE(r.Text, english ? QString("The setup language is successful. Please restart the program and "
                                           "use the new language!")
                                 : QString("设置语言成功,请重新启动程序,使用新语言!"));
        QCOMPARE(r.Caption, english ? QString("Set up success") : QString("设置成功"));
        QCOMPARE(int(r.LanguageId), english ? 1033 : 2052);
        QVERIFY(r.Owner == &form && r.Icon == TBoxIcon::Information);
        QCOMPARE(Read_Bytes(folder.Settings()),
                 settingsExist ? QByteArray(english ? "1\r\n" : "0\r\n") : QByteArray("<missing>"));
        QCOMPARE(Language_ImageOf(W<QAction>(&form, "N24")->icon()), english ? 10 : 9);
        // The interface itself changes only at the next start.
        QCOMPARE(W<QToolButton>(&form, "btnRef")->text(),
                 QString(settingsExist && !english ? "Refresh disks(&C)" : "刷新磁盘(&C)"));
    }

    void log_save_and_clear_data() {
        QTest::addColumn<QList<QStringList>>("rows");
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("empty log") << QList<QStringList>{} << QByteArray();
        QTest::newRow("two lines")
            << QList<QStringList>{{"镜像开始", "2024-03-01 09:05:07", "开始镜像,镜像源:E:"},
                                  {"错误类型:Image0001", "2024-03-01 09:05:08",
                                   "错误内容:创建文件失败,程序将退出!"}}
            << QByteArray("镜像开始  2024-03-01 09:05:07  开始镜像,镜像源:E:\r\n"
                          "错误类型:Image0001  2024-03-01 09:05:08  错误内容:创建文件失败,程序将退出!\r\n");
    }
    void log_save_and_clear() {
        QFETCH(QList<QStringList>, rows);
        QFETCH(QByteArray, file);
        TProgramFolder folder;
        TForm1 form(folder.Path());
        QTemporaryDir target;
        // A previous log in the folder is kept; this one takes the next free name.
        Write_Bytes(target.path() + "/log.txt", QByteArray(5000, 'x'));
        QString title;
        auto previous = Set_FolderHook([&](QWidget*, const QString& t) {
            title = t;
            return target.path();
        });
        for (const QStringList& r : rows)
            Send_UIMessage(MSG_LOG, {r[0].toStdString(), r[1].toStdString(), r[2].toStdString()});
        W<QAction>(&form, "N3")->trigger();
        // Lines logged while the file is written do not reach it.
        Send_UIMessage(MSG_LOG, {"扫描开始", "t", "later"});
        QTRY_VERIFY_WITH_TIMEOUT(form.Workers_Idle(), 5000);
        Set_FolderHook(previous);
        QCOMPARE(title, QString("提示:\r\n设置日志的保存路径,注意不要保存到同一个磁盘!"));
        QCOMPARE(Read_Bytes(target.path() + "/log.txt"), QByteArray(5000, 'x'));
        QCOMPARE(Read_Bytes(target.path() + "/log-2.txt"), file);
        auto* lvlog = W<QTreeWidget>(&form, "lvlog");
        QCOMPARE(lvlog->topLevelItemCount(), int(rows.size()) + 1);
        // The picker starts in the folder it chose last, also in the next run.
        QCOMPARE(Remembered_Folder(title), target.path());
        QVERIFY(Read_Bytes(Window_SettingsFile()).contains(target.path().toUtf8()));
    }

    // Clearing the log asks first, in the interface language; declined, every
    // line stays.
    void log_clear_asks_first_data() {
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<QString>("text");
        QTest::newRow("Chinese") << QByteArray("0\r\n")
                                 << "确定要清空日志吗?清空的日志行不能恢复,需要时请先保存日志。";
        QTest::newRow("English")
            << QByteArray("1\r\n")
            << "Clear the log? Cleared lines cannot be brought back; save the log first if "
               "you need it.";
    }
    void log_clear_asks_first() {
        QFETCH(QByteArray, setting);
        QFETCH(QString, text);
        TProgramFolder folder(setting.constData());
        TForm1 form(folder.Path());
        auto* lvlog = W<QTreeWidget>(&form, "lvlog");
        Send_UIMessage(MSG_LOG, {"扫描开始", "2024-03-01 09:05:07", "a"});
        Send_UIMessage(MSG_LOG, {"扫描完成", "2024-03-01 09:05:08", "b"});
        TBoxRecorder boxes;
        const struct {
            TBoxAnswer answer;
            int left;
        } steps[] = {{TBoxAnswer::Cancel, 2}, {TBoxAnswer::Ok, 0}};
        for (const auto& step : steps) {
            boxes.Answer = step.answer;
            W<QAction>(&form, "N5")->trigger();
            QCOMPARE(lvlog->topLevelItemCount(), step.left);
        }
        QCOMPARE(boxes.Boxes.size(), size_t(2));
        for (const TBoxRequest& b : boxes.Boxes) {
            QCOMPARE(b.Text, text);
            QVERIFY(b.Buttons == TBoxButtons::OkCancel && b.Icon == TBoxIcon::Warning);
            QCOMPARE(int(b.LanguageId), setting.startsWith('1') ? 1033 : 2052);
        }
        // An empty log has nothing to ask about.
        W<QAction>(&form, "N5")->trigger();
        QCOMPARE(boxes.Boxes.size(), size_t(2));
    }

    void log_save_failure_and_cancel() {
        TProgramFolder folder;
        TForm1 form(folder.Path());
        auto* lvlog = W<QTreeWidget>(&form, "lvlog");
        QString answer = "";
        auto previous = Set_FolderHook([&](QWidget*, const QString&) { return answer; });
        W<QAction>(&form, "N3")->trigger(); // cancelled: nothing happens
        QVERIFY(form.Workers_Idle());
        QCOMPARE(lvlog->topLevelItemCount(), 0);
        answer = QString::fromStdString(folder.Path() + "/no/such/folder");
        W<QAction>(&form, "N3")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(form.Workers_Idle(), 5000);
        Set_FolderHook(previous);
        // A log that could not be saved says so instead of failing silently.
        QCOMPARE(lvlog->topLevelItemCount(), 1);
        QCOMPARE(lvlog->topLevelItem(0)->text(0), QString("错误类型:Log0000"));
        QCOMPARE(lvlog->topLevelItem(0)->text(2), "错误内容:保存日志失败:" + answer + "/log.txt");
        QCOMPARE(Image_Of(lvlog->topLevelItem(0)->icon(0)), 4);
    }

    void help_data() {
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<bool>("englishHelp");
        QTest::addColumn<QString>("opened");
        QTest::newRow("Chinese") << QByteArray("0\r\n") << true << "Help.html";
        QTest::newRow("English") << QByteArray("1\r\n") << true << "Help-en.html";
        QTest::newRow("English without its manual") << QByteArray("1\r\n") << false << "Help.html";
    }
    void help() {
        QFETCH(QByteArray, setting);
        QFETCH(bool, englishHelp);
        QFETCH(QString, opened);
        TProgramFolder folder(setting.constData());
        const QString dir = QString::fromStdString(folder.Path());
        Write_Bytes(dir + "/Help.html", "<html></html>");
        if (englishHelp) Write_Bytes(dir + "/Help-en.html", "<html></html>");
        TForm1 form(folder.Path());
        TUrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "Open");
        QTest::mouseClick(W<QToolButton>(&form, "btn2"), Qt::LeftButton);
        W<QAction>(&form, "N17")->trigger();
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(catcher.Urls.size(), 2);
        QCOMPARE(catcher.Urls[0], QUrl::fromLocalFile(dir + "/" + opened));
        QCOMPARE(catcher.Urls[1], catcher.Urls[0]);
    }

    // With no program to open the manual, a box says so and names its path.
    void help_without_a_browser_data() {
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<QString>("text");
        QTest::newRow("Chinese") << QByteArray("0\r\n")
                                 << "没有可以打开使用说明的浏览器,使用说明在:\n%1/Help.html";
        QTest::newRow("English")
            << QByteArray("1\r\n")
            << "There is no browser to open the manual. The manual is at:\n%1/Help-en.html";
    }
    void help_without_a_browser() {
        QFETCH(QByteArray, setting);
        QFETCH(QString, text);
        TProgramFolder folder(setting.constData());
        const QString dir = QString::fromStdString(folder.Path());
        Write_Bytes(dir + "/Help.html", "<html></html>");
        Write_Bytes(dir + "/Help-en.html", "<html></html>");
        TForm1 form(folder.Path());
        TBoxRecorder boxes;
        // The offscreen platform has no desktop services: opening fails as it
        // does on a machine without a browser.
        QTest::mouseClick(W<QToolButton>(&form, "btn2"), Qt::LeftButton);
        QCOMPARE(boxes.Boxes.size(), size_t(1));
        QCOMPARE(boxes.Boxes[0].Text, text.arg(dir));
        QCOMPARE(boxes.Boxes[0].Caption, setting.startsWith('1') ? QString("Hint") : QString("提示"));
    }

    // One version everywhere: the status bar, the about box and the player's
    // caption show the project's version.
    void one_version_everywhere() {
        TProgramFolder folder;
        TForm1 form(folder.Path());
        const QString version = QString::fromLatin1(kQrvVersion);
        QVERIFY(QRegularExpression("^[0-9]+\\.[0-9]+\\.[0-9]+$").match(version).hasMatch());
        QCOMPARE(W<QLabel>(&form, "lblVersion")->text(), version);
        QCOMPARE(W<QLabel>(&form, "pnl38")->text(), "QRV专用播放器 版本 " + version);
        TBoxRecorder boxes;
        QTest::mouseClick(W<QToolButton>(&form, "btn5"), Qt::LeftButton);
        QCOMPARE(boxes.Boxes.size(), size_t(1));
        QCOMPARE(boxes.Boxes[0].Text, "QRV 视频恢复\n程序版本: " + version);
    }

    // A double click on the title bar maximises the window and restores it;
    // so does the title bar's button, whose icon tells which it does.
    void title_bar_maximises_and_restores() {
        TProgramFolder folder;
        TForm1 form(folder.Path());
        form.Set_EnumRoots(No_Disks());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto* title = W<QWidget>(&form, "pnlMainCapiton");
        auto* button = W<QToolButton>(&form, "btnMax");
        const QImage maximiseIcon = button->icon().pixmap(16, 16).toImage();
        const struct {
            const char* how;
            bool maximised;
        } steps[] = {{"double click", true}, {"double click", false}, {"button", true}, {"button", false}};
        for (const auto& step : steps) {
            if (QByteArray(step.how) == "button")
                QTest::mouseClick(button, Qt::LeftButton);
            else
                QTest::mouseDClick(title, Qt::LeftButton, {}, title->rect().center());
            QTRY_COMPARE(form.isMaximized(), step.maximised);
            QCOMPARE(button->icon().pixmap(16, 16).toImage() == maximiseIcon, !step.maximised);
        }
    }

    // The frameless window is resized by dragging its edges and corners.
    void edges_resize_the_window_data() {
        QTest::addColumn<QString>("grip");
        QTest::addColumn<QPoint>("drag");
        QTest::addColumn<QRect>("change"); // added to left, top, right, bottom
        QTest::newRow("bottom-right corner") << "br" << QPoint(60, 40) << QRect(QPoint(0, 0), QPoint(60, 40));
        QTest::newRow("left edge") << "l" << QPoint(-50, 30) << QRect(QPoint(-50, 0), QPoint(0, 0));
        QTest::newRow("top edge") << "t" << QPoint(20, -30) << QRect(QPoint(0, -30), QPoint(0, 0));
        QTest::newRow("inside moves nothing") << "in" << QPoint(60, 40) << QRect(QPoint(0, 0), QPoint(0, 0));
    }
    void edges_resize_the_window() {
        QFETCH(QString, grip);
        QFETCH(QPoint, drag);
        QFETCH(QRect, change);
        TProgramFolder folder;
        TForm1 form(folder.Path());
        form.Set_EnumRoots(No_Disks());
        form.setGeometry(200, 150, 1188, 601);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QRect before = form.geometry();
        const QPoint at = grip == "br"  ? QPoint(form.width() - 2, form.height() - 2)
                          : grip == "l" ? QPoint(1, form.height() / 2)
                          : grip == "t" ? QPoint(form.width() / 2, 1)
                                        : QPoint(form.width() / 2, form.height() / 2);
        QWidget* target = form.childAt(at) ? form.childAt(at) : &form;
        const QPoint local = target->mapFrom(&form, at);
        QTest::mousePress(target, Qt::LeftButton, {}, local);
        QTest::mouseMove(target, local + drag);
        QTest::mouseRelease(target, Qt::LeftButton, {}, local + drag);
        const QRect expected(QPoint(before.left() + change.left(), before.top() + change.top()),
                             QPoint(before.right() + change.right(), before.bottom() + change.bottom()));
        QTRY_COMPARE(form.geometry(), expected);
    }

    // "打开镜像" has a drop-down of the images and result files opened
    // recently (newest first, at most 8, files gone left out); choosing one
    // opens it again, in this run or the next.
    void recent_files_of_open_image() {
        QTemporaryDir images;
        QStringList files;
        for (int i = 0; i < 10; ++i) {
            files << images.path() + QString("/card%1.img").arg(i);
            Write_Bytes(files.back(), QByteArray(1 << 16, char(i)));
        }
        TProgramFolder folder;
        {
            TForm1 form(folder.Path());
            form.Set_EnumRoots(No_Disks());
            form.show();
            for (const QString& f : files) {
                auto previous = Set_OpenFileHook([f](QWidget*, const QString&, const QString&) { return f; });
                W<QToolButton>(&form, "btnOpenImg")->click();
                Set_OpenFileHook(previous);
            }
            QCOMPARE(W<QTreeWidget>(&form, "vrtlstrngtr1")->topLevelItem(0)->childCount(), 10);
        }
        QFile::remove(files[8]);
        TForm1 form(folder.Path()); // the next run
        form.Set_EnumRoots(No_Disks());
        form.show();
        auto* button = W<QToolButton>(&form, "btnOpenImg");
        QCOMPARE(button->popupMode(), QToolButton::MenuButtonPopup);
        QMenu* menu = button->menu();
        QVERIFY(menu);
        QMetaObject::invokeMethod(menu, "aboutToShow");
        QStringList shown;
        for (QAction* a : menu->actions())
            shown << a->text() + "=" + a->data().toString();
        QStringList expected;
        int n = 0;
        for (int i : {9, 7, 6, 5, 4, 3, 2})
            expected << QString("&%1 card%2.img=%3").arg(++n).arg(i).arg(files[i]);
        QCOMPARE(shown, expected);
        auto* tree = W<QTreeWidget>(&form, "vrtlstrngtr1");
        auto listed = [&](const QString& name) {
            return tree->findItems(name, Qt::MatchExactly | Qt::MatchRecursive, 0).size();
        };
        QCOMPARE(listed(files[7]), qsizetype(0));
        menu->actions().at(1)->trigger();
        QCOMPARE(listed(files[7]), qsizetype(1));
        QCOMPARE(listed(files[9]), qsizetype(0));
        // The one opened again comes first now.
        QCOMPARE(Recent_Files().value(0), files[7]);
        QCOMPARE(Recent_Files().size(), 7);
    }

    void title_bar_moves_the_window_data() {
        QTest::addColumn<QString>("grip");
        QTest::newRow("title bar") << "pnlMainCurrent";
        QTest::newRow("caption") << "pnlMainCapiton";
    }
    void title_bar_moves_the_window() {
        QFETCH(QString, grip);
        TProgramFolder folder;
        TForm1 form(folder.Path());
        form.move(100, 100);
        form.Set_EnumRoots(No_Disks());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto* w = W<QWidget>(&form, grip.toLatin1());
        const QPoint before = form.pos();
        const QPoint at(w->width() / 2, w->height() / 2);
        QTest::mousePress(w, Qt::LeftButton, {}, at);
        QTest::mouseMove(w, at + QPoint(40, 25));
        QTest::mouseRelease(w, Qt::LeftButton, {}, at + QPoint(40, 25));
        QTRY_COMPARE(form.pos(), before + QPoint(40, 25));
    }

    // Closing releases every record, and a worker still sending messages is
    // stopped and waited for instead of leaving the window blocked.
    void close_releases_records_and_stops_the_worker() {
        TProgramFolder folder;
        auto form = std::make_unique<TForm1>(folder.Path());
        form->Set_EnumRoots(No_Disks());
        form->show();
        const std::shared_ptr<TScanSession> session = form->Shown_Session();
        session->Scans.Append(TScanResult{});
        session->Rebuilds.Append(TRebuildResult{});
        session->Anchors.Append(TFrameAnchor{});
        std::atomic<int> sent{0};
        QVERIFY(form->Start_Worker("Scan0000", [&] {
            Send_UIMessage(MSG_PROGRESS_START, {"100", "总块数:"});
            while (!Bound_OpState()->StopFlag) {
                Send_UIMessage(MSG_PROGRESS_STATUS, {"", "已扫描块数:" + std::to_string(++sent), ""});
            }
            Send_UIMessage(MSG_PROGRESS_END);
        }));
        QTRY_VERIFY(sent > 10);
        QVERIFY(form->close());
        QVERIFY(form->Workers_Idle());
        QCOMPARE(session->Scans.Count() + session->Rebuilds.Count() + session->Anchors.Count(), int64_t(0));
        form.reset();
        Send_UIMessage(MSG_LOG, {"x", "y", "z"}); // the window's sink is gone: nothing reaches it
    }
};

QTEST_MAIN(TWindowTest)
#include "window_test.moc"
