#include "FolderOpener.h"

#include "common/Seam.h"

#include <QDesktopServices>
#include <QUrl>

namespace {

class DesktopFolderOpener final : public IFolderOpener {
public:
    bool OpenFolder(const QString& path) override {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    }
};

constexpr auto OpenerSeam = SeamOf<IFolderOpener, DesktopFolderOpener>;

} // namespace

IFolderOpener& FolderOpener() {
    return OpenerSeam().Get();
}

void SetFolderOpener(IFolderOpener* opener) {
    OpenerSeam().Set(opener);
}
