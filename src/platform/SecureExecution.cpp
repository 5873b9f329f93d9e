#include "platform/SecureExecution.h"

#include <cstdlib>
#include <cstring>
#include <linux/capability.h>
#include <string>
#include <string_view>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tarvok::platform {

bool dropAllCapabilities() {
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, data) != 0)
        return false;
    return ::syscall(SYS_capget, &header, data) == 0 &&
           data[0].effective == 0 && data[1].effective == 0 && data[0].permitted == 0 &&
           data[1].permitted == 0;
}

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

} // namespace

bool secureExecution() { return ::getauxval(AT_SECURE) != 0; }

bool unsafeVariable(const char* name) {
    const std::string_view variable(name);
    // Platform names resolve only among the plugins installed with Qt once the paths are
    // gone; scaling and accessibility switches load nothing.
    static constexpr std::string_view kept[] = {
        "QT_QPA_PLATFORM",           "QT_SCALE_FACTOR",
        "QT_SCREEN_SCALE_FACTORS",   "QT_AUTO_SCREEN_SCALE_FACTOR",
        "QT_ENABLE_HIGHDPI_SCALING", "QT_SCALE_FACTOR_ROUNDING_POLICY",
        "QT_FONT_DPI",               "QT_ACCESSIBILITY",
        "QT_LINUX_ACCESSIBILITY_ALWAYS_ON"};
    for (std::string_view safe : kept)
        if (variable == safe)
            return false;
    for (std::string_view prefix : {"QT_", "QML", "QV4_"})
        if (startsWith(variable, prefix))
            return true;
    static constexpr std::string_view others[] = {
        "GTK_MODULES",        "GTK3_MODULES",           "GTK_PATH",
        "GTK_EXE_PREFIX",     "GTK_IM_MODULE_FILE",     "GIO_EXTRA_MODULES",
        "GIO_MODULE_DIR",     "GDK_PIXBUF_MODULEDIR",   "GDK_PIXBUF_MODULE_FILE",
        "PX_MODULE_PATH",     "LIBGL_DRIVERS_PATH",     "LIBGL_DRIVERS_DIR",
        "GBM_BACKENDS_PATH",  "__EGL_VENDOR_LIBRARY_DIRS", "__EGL_VENDOR_LIBRARY_FILENAMES",
        "__GLX_VENDOR_LIBRARY_NAME"};
    for (std::string_view unsafe : others)
        if (variable == unsafe)
            return true;
    return false;
}

void dropUnsafeEnvironment() {
    std::vector<std::string> names;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        std::string name(text.substr(0, text.find('=')));
        if (unsafeVariable(name.c_str()))
            names.push_back(std::move(name));
    }
    for (const std::string& name : names)
        ::unsetenv(name.c_str());
}

int dropUnsafeArguments(int argc, char** argv) {
    int kept = argc > 0 ? 1 : 0;
    for (int i = kept; i < argc; ++i) {
        std::string_view argument(argv[i]);
        if (startsWith(argument, "--"))
            argument.remove_prefix(1);
        bool dropped = false;
        for (std::string_view option : {"-platformpluginpath", "-plugin"}) {
            if (argument == option) {
                dropped = true;
                ++i; // its value
            } else if (startsWith(argument, option) && argument.size() > option.size() &&
                       argument[option.size()] == '=') {
                dropped = true;
            }
        }
        if (!dropped)
            argv[kept++] = argv[i];
    }
    if (argc > 0)
        argv[kept] = nullptr;
    return kept;
}

} // namespace tarvok::platform
