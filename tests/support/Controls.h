#pragma once
// Finds a window's control by its object name, as tests, accessibility tools and administrators'
// scripts do: the names stay those the program's forms have always had ("EdPIN", "BtnInit", ...).
// A control that is missing or of another type ends the test program with the name it looked for.

#include <QObject>

#include <cstdio>
#include <cstdlib>
#include <memory>

template <typename T> T* Control(const QObject* root, const char* name) {
    T* found = root ? root->findChild<T*>(QLatin1String(name)) : nullptr;
    if (!found) {
        std::fprintf(stderr, "no control named \"%s\" of the expected type\n", name);
        std::abort();
    }
    return found;
}
template <typename T> T* Control(const QObject& root, const char* name) {
    return Control<T>(&root, name);
}
template <typename T, typename W> T* Control(const std::unique_ptr<W>& root, const char* name) {
    return Control<T>(root.get(), name);
}
