#include "SystemError.h"

#include <cerrno>
#include <cstring>

std::string SystemErrorText(int error) {
    switch (error) {
    case ENOENT:
        return "нет такого файла или папки";
    case EACCES:
    case EPERM:
        return "нет прав доступа";
    case EISDIR:
        return "это папка, а не файл";
    case ENOTDIR:
        return "часть пути не является папкой";
    case ENOSPC:
        return "нет места на устройстве";
    case EDQUOT:
        return "превышена дисковая квота";
    case EROFS:
        return "файловая система доступна только для чтения";
    case EEXIST:
        return "файл уже существует";
    case EIO:
        return "ошибка ввода-вывода";
    case EPIPE:
        return "читающая сторона канала закрыта";
    case EBADF:
        return "поток закрыт";
    case ENAMETOOLONG:
        return "слишком длинное имя";
    case ELOOP:
        return "слишком много символических ссылок";
    case EFBIG:
        return "файл слишком велик";
    default:
        break;
    }
    return std::string("системная ошибка ") + std::to_string(error) + " (" + std::strerror(error) +
           ")";
}
