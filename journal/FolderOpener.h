#pragma once
// Showing a folder in the desktop's file manager, behind a small seam: the real one asks the
// desktop (QDesktopServices); tests install a double that records the folder instead.

#include <QString>

class IFolderOpener {
public:
    virtual ~IFolderOpener() = default;
    // True when the desktop took the request.
    virtual bool OpenFolder(const QString& path) = 0;
};

// The opener in force: the desktop's unless a test installed another.
IFolderOpener& FolderOpener();
// Installs `opener`; nullptr restores the desktop's.
void SetFolderOpener(IFolderOpener* opener);
