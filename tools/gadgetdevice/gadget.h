#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

// One USB gadget with one function, built in configfs and bound to a USB
// device controller of the test VM (dummy_udc.<controller>). The destructor
// unbinds it and removes its directories.
class Gadget
{
public:
    using Attributes = std::vector<std::pair<std::string, std::string>>;

    explicit Gadget(int controller = 0) : m_controller(controller) {}
    ~Gadget() { remove(); }
    Gadget(const Gadget &) = delete;
    Gadget &operator=(const Gadget &) = delete;

    // `function` is "<type>.<instance>", e.g. "midi.velta"; `attributes` are
    // written into its directory (paths relative to it) before it is linked.
    // A leftover gadget of the same name is torn down first.
    bool create(const std::string &name, const std::string &product, unsigned productId,
                const std::string &function, const Attributes &attributes, std::string &error);
    bool bind(std::string &error);
    // The cable is pulled; the configuration stays.
    void unbind();
    void remove();

    std::string functionPath() const { return m_path + "/functions/" + m_function; }

    // Unbinds every gadget bound to the controller; returns how many were.
    static int unbindAll(int controller);

private:
    int m_controller;
    std::string m_path;
    std::string m_function;
};

// Small sysfs/configfs helpers shared with main.cpp.
std::optional<std::string> readFirstLine(const std::string &path);
bool writeText(const std::string &path, const std::string &text, std::string &error);
std::vector<std::string> listDir(const std::string &path);
