// Renders the program's icon, as the window draws it, into <folder>/<N>x<N>/apps/<name>.png
// for every size N given: the layout of the hicolor icon theme. Run at build time with
// QT_QPA_PLATFORM=offscreen.
//   qmx_render_icon FOLDER NAME SIZE...

#include "ApplicationIcon.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 4) {
        std::fputs("usage: qmx_render_icon FOLDER NAME SIZE...\n", stderr);
        return 2;
    }
    for (int i = 3; i < args.size(); ++i) {
        bool ok = false;
        const int size = args[i].toInt(&ok);
        if (!ok || size < 8 || size > 1024) {
            std::fprintf(stderr, "qmx_render_icon: bad size '%s'\n", qPrintable(args[i]));
            return 2;
        }
        const QString folder = QString("%1/%2x%2/apps").arg(args[1]).arg(size);
        const QString file = folder + "/" + args[2] + ".png";
        const QPixmap icon = qmx::drawApplicationIcon(size);
        if (!QDir().mkpath(folder) || icon.size() != QSize(size, size) || !icon.save(file, "PNG")) {
            std::fprintf(stderr, "qmx_render_icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
