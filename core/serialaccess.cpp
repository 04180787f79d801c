#include "core/serialaccess.h"

#include <QFile>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

std::optional<QString> groupName(gid_t gid)
{
    long size = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(size_t(size > 0 ? size : 16384));
    group entry {};
    group *found = nullptr;
    while (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (found == nullptr || found->gr_name == nullptr || found->gr_name[0] == '\0')
        return std::nullopt;
    return QString::fromLocal8Bit(found->gr_name);
}

} // namespace

QString serialPermissionMessage(const QString &portPath, const std::optional<QString> &group)
{
    QString message = QStringLiteral("You do not have permission to use ") + portPath + QLatin1Char('.');
    if (group && *group != QLatin1String("root")) {
        message += QStringLiteral("\n\nAdd your user to the group \"") + *group
            + QStringLiteral("\" (sudo usermod -aG ") + *group + QStringLiteral(" $USER), then log out and back in.");
    }
    return message;
}

std::optional<QString> serialPermissionProblem(const QString &portPath)
{
    const QByteArray path = QFile::encodeName(portPath);
    // access() answers for the groups and ACLs this process really has.
    if (::access(path.constData(), R_OK | W_OK) == 0 || (errno != EACCES && errno != EPERM))
        return std::nullopt;
    struct stat info {};
    const std::optional<QString> group =
        ::stat(path.constData(), &info) == 0 ? groupName(info.st_gid) : std::nullopt;
    return serialPermissionMessage(portPath, group);
}
