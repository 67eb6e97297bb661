#include "platform/qt/help.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "platform/boxes.h"
#include "platform/datadir.h"
#include "platform/qt/dialogs.h"

namespace platform {
namespace {

std::function<bool(const QString&, int)> g_opener;

QStringList HelpFolders() {
    const QString program = QString::fromStdString(ProgramDir());
    QStringList folders{program + "/help", program + "/../share/corvane/help"};
#ifdef CORVANE_SOURCE_DIR
    folders << QStringLiteral(CORVANE_SOURCE_DIR "/client/help");
#endif
    return folders;
}

} // namespace

QString HelpPagePath(int context) {
    QStringList names{QStringLiteral("help-%1.html").arg(context)};
    if (context == 0) names << QStringLiteral("index.html");
    for (const QString& folder : HelpFolders()) {
        for (const QString& name : names) {
            QFileInfo info(folder + "/" + name);
            if (info.isFile()) return QDir::cleanPath(info.absoluteFilePath());
        }
    }
    return QString();
}

bool ShowHelp(int context) {
    const QString path = HelpPagePath(context);
    if (path.isEmpty()) return false;
    if (g_opener) return g_opener(path, context);
    if (DialogScriptRequired())
        throw UnansweredBox("no opener for the help page " + path.toStdString());
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void SetHelpOpener(std::function<bool(const QString& path, int context)> opener) {
    g_opener = std::move(opener);
}

} // namespace platform
