#include "FolderOpener.h"

#include <QDesktopServices>
#include <QUrl>

namespace {

class DesktopFolderOpener final : public IFolderOpener {
public:
    bool OpenFolder(const QString& path) override {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    }
};

DesktopFolderOpener desktopOpener;
IFolderOpener* current = nullptr;

} // namespace

IFolderOpener& FolderOpener() {
    return current ? *current : desktopOpener;
}

void SetFolderOpener(IFolderOpener* opener) {
    current = opener;
}
