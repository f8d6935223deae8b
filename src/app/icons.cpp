#include "app/icons.h"

#include <QHash>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The resource initialiser lives in this library; referencing it here keeps it
// linked into every program that uses the images.
static void Init_IconResources() {
    Q_INIT_RESOURCE(qrv_icons);
}

namespace qrv::app {

QIcon App_Icon(const char* name) {
    static bool initialised = (Init_IconResources(), true);
    (void)initialised;
    // Kept for the whole run and never destroyed: pixmaps must not outlive the
    // application object, and static destructors run after it is gone.
    static auto* cache = new QHash<QString, QIcon>;
    const QString key = QString::fromLatin1(name);
    auto it = cache->find(key);
    if (it != cache->end()) return *it;
    // Rendered into pixmaps here rather than through the image plugins, so the
    // icons do not depend on which plugins an installation carries.
    QSvgRenderer renderer(QStringLiteral(":/icons/") + key + QStringLiteral(".svg"));
    QIcon icon;
    if (renderer.isValid()) {
        for (int size : {16, 20, 24, 32, 48}) {
            QPixmap pm(size, size);
            pm.fill(Qt::transparent);
            QPainter p(&pm);
            p.setRenderHint(QPainter::Antialiasing);
            renderer.render(&p);
            p.end();
            icon.addPixmap(pm, QIcon::Normal);
            // Selected rows show the image as it is, not tinted by the style.
            icon.addPixmap(pm, QIcon::Selected);
        }
    }
    cache->insert(key, icon);
    return icon;
}

QIcon Small_Image(int index) {
    static const char* const names[] = {"computer", "disk",   "volume", "image_file", "log_error",
                                        "log_info", nullptr,  nullptr,  nullptr,      "level0",
                                        "level1",   "level2", "level3"};
    if (index < 0 || index >= int(std::size(names)) || names[index] == nullptr) return QIcon();
    return App_Icon(names[index]);
}

QIcon Language_Image(int index) {
    if (index == 9) return App_Icon("lang_zh");
    if (index == 10) return App_Icon("lang_en");
    return QIcon();
}

} // namespace qrv::app
