#include "gadget.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string GadgetRoot = "/sys/kernel/config/usb_gadget";

std::string controllerName(int controller)
{
    return "dummy_udc." + std::to_string(controller);
}

bool makeDir(const std::string &path, std::string &error)
{
    if (mkdir(path.c_str(), 0755) == 0)
        return true;
    error = "mkdir " + path + ": " + std::strerror(errno);
    return false;
}

// configfs refuses to remove a gadget in any other order.
void teardown(const std::string &path)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0)
        return;
    std::string ignored;
    if (readFirstLine(path + "/UDC").value_or("") != "")
        writeText(path + "/UDC", "\n", ignored);
    for (const auto &config : listDir(path + "/configs")) {
        const std::string dir = path + "/configs/" + config;
        for (const auto &entry : listDir(dir))
            if (lstat((dir + "/" + entry).c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                unlink((dir + "/" + entry).c_str());
        for (const auto &lang : listDir(dir + "/strings"))
            rmdir((dir + "/strings/" + lang).c_str());
        rmdir(dir.c_str());
    }
    for (const auto &function : listDir(path + "/functions"))
        rmdir((path + "/functions/" + function).c_str());
    for (const auto &lang : listDir(path + "/strings"))
        rmdir((path + "/strings/" + lang).c_str());
    if (rmdir(path.c_str()) != 0)
        std::fprintf(stderr, "velta-gadgetdevice: cannot remove %s: %s\n", path.c_str(), std::strerror(errno));
}

} // namespace

std::optional<std::string> readFirstLine(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::string line;
    std::getline(in, line);
    return line;
}

bool writeText(const std::string &path, const std::string &text, std::string &error)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    // configfs attributes take the whole value in one write().
    const bool ok = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (!ok)
        error = "write " + path + ": " + std::strerror(errno);
    if (fd >= 0)
        close(fd);
    return ok;
}

std::vector<std::string> listDir(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (const dirent *entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

bool Gadget::create(const std::string &name, const std::string &product, unsigned productId,
                    const std::string &function, const Attributes &attributes, std::string &error)
{
    remove();
    if (access(GadgetRoot.c_str(), W_OK) != 0) {
        error = GadgetRoot + " is not writable: needs root, configfs and libcomposite (run inside tests/vm/vmrun.sh)";
        return false;
    }
    m_path = GadgetRoot + "/" + name;
    m_function = function;
    teardown(m_path);
    char ids[16];
    std::snprintf(ids, sizeof ids, "0x%04x", productId);
    const std::string strings = m_path + "/strings/0x409";
    const std::string config = m_path + "/configs/c.1";
    // 0x1209 with low product IDs: the shared test IDs, never a real device.
    bool ok = makeDir(m_path, error) && writeText(m_path + "/idVendor", "0x1209", error)
        && writeText(m_path + "/idProduct", ids, error) && makeDir(strings, error)
        && writeText(strings + "/manufacturer", "VELTA", error) && writeText(strings + "/product", product, error)
        && writeText(strings + "/serialnumber", "VM000" + std::to_string(m_controller + 1), error) && makeDir(config, error)
        && makeDir(functionPath(), error);
    for (const auto &[attribute, value] : attributes)
        ok = ok && writeText(functionPath() + "/" + attribute, value, error);
    if (ok && symlink(functionPath().c_str(), (config + "/" + function).c_str()) != 0) {
        error = "link " + function + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok)
        remove();
    return ok;
}

bool Gadget::bind(std::string &error)
{
    const std::string controller = controllerName(m_controller);
    if (access(("/sys/class/udc/" + controller).c_str(), F_OK) != 0) {
        error = "no USB device controller " + controller + ": dummy_hcd is not loaded (num=2 for two)";
        return false;
    }
    if (writeText(m_path + "/UDC", controller, error))
        return true;
    if (errno == EBUSY)
        error = controller + " is taken by another gadget (one device at a time)";
    return false;
}

void Gadget::unbind()
{
    std::string ignored;
    if (!m_path.empty() && readFirstLine(m_path + "/UDC").value_or("") != "")
        writeText(m_path + "/UDC", "\n", ignored);
}

void Gadget::remove()
{
    if (!m_path.empty())
        teardown(m_path);
    m_path.clear();
}

int Gadget::unbindAll(int controller)
{
    int count = 0;
    std::string ignored;
    for (const auto &name : listDir(GadgetRoot))
        if (readFirstLine(GadgetRoot + "/" + name + "/UDC").value_or("") == controllerName(controller))
            count += writeText(GadgetRoot + "/" + name + "/UDC", "\n", ignored) ? 1 : 0;
    return count;
}
