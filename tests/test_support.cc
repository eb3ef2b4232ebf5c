#include "test_support.h"

#include "platform/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <linux/fs.h>
#include <linux/fuse.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quillon::testing {

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/var/tmp") + "/quillon-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() { remove_all(path_); }

void write_file(const std::string &path, const std::string &contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void make_dir(const std::string &path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) throw std::runtime_error("cannot make " + path);
}

void make_tree(const std::string &root, const std::vector<std::string> &entries) {
    for (const std::string &entry : entries) {
        const size_t link = entry.find("->"), text = entry.find('=');
        const std::string path = root + "/" + entry.substr(0, std::min(link, text));
        if (text < link) {
            write_file(path, entry.substr(text + 1));
        } else if (link != std::string::npos) {
            if (symlink(entry.substr(link + 2).c_str(), path.c_str()) != 0) throw std::runtime_error("cannot link " + path);
        } else if (entry.back() == '/') {
            make_dir(path.substr(0, path.size() - 1));
        } else if (entry.back() != '|' || mkfifo(path.substr(0, path.size() - 1).c_str(), 0600) != 0) {
            throw std::runtime_error("cannot make " + path);
        }
    }
}

void bind_socket(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + path);
    strcpy(address.sun_path, path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int bound = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    close(fd);
    if (bound != 0) throw std::runtime_error("cannot bind " + path);
}

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string make_home_trash(const TempDir &home) {
    for (const char *folder : {".config", ".local", ".local/share", ".local/share/Trash", ".local/share/Trash/files",
                               ".local/share/Trash/info"})
        make_dir(home / folder);
    return home / ".local/share/Trash/files";
}

CalendarDate local_date(int year, int month, int day, int hour, int minute) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return CalendarDate::fromUnixTime(mktime(&t));
}

std::string trash_list_xml(const std::string &folder, const std::vector<std::pair<std::string, std::string>> &items,
                           const std::string &other, const std::vector<std::pair<std::string, std::string>> &itsItems) {
    std::string xml = "<plist version=\"1.0\"><array>";
    for (const auto &[path, entries] : {std::pair{folder, items}, std::pair{other, itsItems}}) {
        if (path.empty()) continue;
        xml += "<dict><key>path</key><string>" + path + "</string><key>files</key><array>";
        for (const auto &[name, date] : entries)
            xml += "<dict><key>path</key><string>" + name + "</string><key>trashDate</key><date>" + date + "</date></dict>";
        xml += "</array></dict>";
    }
    return xml + "</array></plist>";
}

CapturedLog::CapturedLog() {
    setLogSink([this](const std::string &line) { lines.push_back(line); });
}

CapturedLog::~CapturedLog() { setLogSink(nullptr); }

std::string private_mounts() {
    if (unshare(CLONE_NEWNS) != 0) return std::string("no mount namespace of our own: ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("cannot make mounts private: ") + strerror(errno);
    return "";
}

std::string mount_for_test(const std::string &source, const std::string &target, const std::string &type,
                           const std::string &options) {
    const bool bind = type == "bind";
    if (mount(source.c_str(), target.c_str(), bind ? nullptr : type.c_str(), bind ? MS_BIND : 0,
              options.empty() ? nullptr : options.c_str()) != 0)
        return "cannot mount " + type + " on " + target + ": " + strerror(errno);
    return "";
}

bool set_immutable(const std::string &path, bool on) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return ok;
}

void remove_all(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) (void)set_immutable(path, false);
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const auto &name : list_dir(path)) remove_all(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

StalledFuse::StalledFuse(const std::string &mountPoint) : mountPoint_(mountPoint) {
    fd_ = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        why_ = std::string("no /dev/fuse: ") + strerror(errno);
        return;
    }
    make_dir(mountPoint);
    const std::string options = "fd=" + std::to_string(fd_) + ",rootmode=40000,user_id=0,group_id=0";
    if (mount("stall", mountPoint.c_str(), "fuse.stall", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        why_ = std::string("cannot mount FUSE: ") + strerror(errno);
        return;
    }
    mounted_ = true;
    // The INIT request comes first; answer it, then read nothing more.
    alignas(8) char request[FUSE_MIN_READ_BUFFER];
    const ssize_t n = read(fd_, request, sizeof request);
    const auto *in = reinterpret_cast<const fuse_in_header *>(request);
    if (n < static_cast<ssize_t>(sizeof *in + sizeof(fuse_init_in)) || in->opcode != FUSE_INIT) {
        why_ = "no INIT from the kernel";
        return;
    }
    struct {
        fuse_out_header header;
        fuse_init_out init;
    } reply{};
    reply.header.len = sizeof reply;
    reply.header.unique = in->unique;
    reply.init.major = FUSE_KERNEL_VERSION;
    reply.init.minor = reinterpret_cast<const fuse_init_in *>(in + 1)->minor;
    reply.init.max_write = 4096;
    if (write(fd_, &reply, sizeof reply) != static_cast<ssize_t>(sizeof reply)) why_ = "INIT reply refused";
}
bool StalledFuse::waitForRequest(std::chrono::milliseconds timeout) const {
    struct pollfd queued = {fd_, POLLIN, 0};
    return fd_ >= 0 && poll(&queued, 1, static_cast<int>(timeout.count())) == 1;
}

StalledFuse::~StalledFuse() {
    if (fd_ >= 0) close(fd_);  // aborts the connection: whatever waits on it fails now
    if (mounted_) umount2(mountPoint_.c_str(), MNT_DETACH);
}

}  // namespace quillon::testing
