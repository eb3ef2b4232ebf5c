#include "test_support.h"

#include "base/log.h"

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
#include <iterator>
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
    return {std::istreambuf_iterator<char>(in), {}};
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
    struct tm t {};
    t.tm_min = minute, t.tm_hour = hour, t.tm_mday = day, t.tm_mon = month - 1, t.tm_year = year - 1900, t.tm_isdst = -1;
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

CapturedLog::CapturedLog() { setLogSink([this](const std::string &line) { lines.push_back(line); }); }

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
    (void)mkdir(target.c_str(), 0755);  // fails harmlessly on whatever is there
    if (mount(source.c_str(), target.c_str(), bind ? nullptr : type.c_str(), bind ? MS_BIND : 0,
              options.empty() ? nullptr : options.c_str()) != 0)
        return "cannot mount " + type + " on " + target + ": " + strerror(errno);
    return "";
}

std::string mountinfo_line(const std::string &point, const std::string &type, const std::string &options,
                           const std::string &shown) {
    struct statx sx {};
    (void)statx(AT_FDCWD, point.c_str(), 0, STATX_MNT_ID, &sx);
    return std::to_string(sx.stx_mnt_id) + " 1 " + std::to_string(sx.stx_dev_major) + ":" +
           std::to_string(sx.stx_dev_minor) + " / " + (shown.empty() ? point : shown) + " " + options + " - " + type +
           " /dev/x rw\n";
}

bool set_immutable(const std::string &path, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

void remove_all(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) (void)set_immutable(path, false);
    if (!S_ISDIR(st.st_mode)) return void(unlink(path.c_str()));
    chmod(path.c_str(), 0700);
    for (const auto &name : list_dir(path)) remove_all(path + "/" + name);
    rmdir(path.c_str());
}

TestFuse::TestFuse(const std::string &mountPoint) : mountPoint_(mountPoint) {
    fd_ = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    const std::string options = "fd=" + std::to_string(fd_) + ",rootmode=40000,user_id=0,group_id=0";
    if (fd_ >= 0) make_dir(mountPoint);
    if (fd_ < 0 || mount("test", mountPoint.c_str(), "fuse.test", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        why_ = std::string(fd_ < 0 ? "no /dev/fuse: " : "cannot mount FUSE: ") + strerror(errno);
        return;
    }
    mounted_ = true;
    // The INIT request comes first.
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

void TestFuse::serve() {
    if (!why_.empty() || pipe2(stop_, O_CLOEXEC) != 0) return;
    server_ = std::thread([this] {
        std::vector<char> buffer(FUSE_MIN_READ_BUFFER + 65536);
        for (;;) {
            pollfd watched[] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(watched, 2, -1) < 0 || watched[1].revents) return;
            const ssize_t n = read(fd_, buffer.data(), buffer.size());
            if (n < static_cast<ssize_t>(sizeof(fuse_in_header))) continue;
            const auto *in = reinterpret_cast<const fuse_in_header *>(buffer.data());
            if (in->opcode == FUSE_FORGET || in->opcode == FUSE_BATCH_FORGET) continue;  // never answered
            if (auto reply = answer(*in, buffer.data() + sizeof *in)) {
                auto *out = reinterpret_cast<fuse_out_header *>(reply->data());
                out->len = static_cast<uint32_t>(reply->size());
                out->unique = in->unique;
                (void)!write(fd_, reply->data(), reply->size());
            }
            std::lock_guard<std::mutex> hold(mutex_);
            requests_++;
            asked_.notify_all();
        }
    });
}

void TestFuse::waitForRequests(int count) {
    std::unique_lock<std::mutex> hold(mutex_);
    asked_.wait(hold, [&] { return requests_ >= count; });
}

void TestFuse::stop() {
    if (!server_.joinable()) return;
    (void)!write(stop_[1], "x", 1);
    server_.join();
}

TestFuse::~TestFuse() {
    stop();
    for (int fd : stop_)
        if (fd >= 0) close(fd);
    if (fd_ >= 0) close(fd_);  // aborts the connection: whatever waits on it fails now
    if (mounted_) umount2(mountPoint_.c_str(), MNT_DETACH);
}

ScriptedFuse::ScriptedFuse(const std::string &mountPoint, std::vector<Node> nodes)
    : TestFuse(mountPoint), nodes_(std::move(nodes)), lookups_(nodes_.size()) {
    serve();
}

ScriptedFuse::~ScriptedFuse() { stop(); }

std::optional<std::string> ScriptedFuse::answer(const fuse_in_header &request, const char *body) {
    // Node i + 2 as a folder; as the link it turns into, node i + 2 + nodes_.size().
    const uint64_t links = 2 + nodes_.size();
    auto attributes = [&](uint64_t node, fuse_attr &attr) {
        attr.ino = node;
        attr.nlink = 1;
        attr.mode = S_IFDIR | 0755;
        if (node >= links) {
            attr.mode = S_IFLNK | 0777;
            attr.size = nodes_[node - links].target.size();
        } else if (node >= 2) {
            attr.mode = S_IFDIR | 0700;
            attr.uid = nodes_[node - 2].owner;
        }
    };
    std::string reply(sizeof(fuse_out_header), '\0');
    auto error = [&](int code) {
        reinterpret_cast<fuse_out_header *>(reply.data())->error = -code;
        return reply;
    };
    auto append = [&](const auto &value) { reply.append(reinterpret_cast<const char *>(&value), sizeof value); };
    switch (request.opcode) {
        case FUSE_LOOKUP: {
            for (size_t i = 0; i < nodes_.size(); i++) {
                if (nodes_[i].parent != request.nodeid || nodes_[i].name != body) continue;
                const bool link = nodes_[i].linkAfter >= 0 && ++lookups_[i] > nodes_[i].linkAfter;
                fuse_entry_out entry{};
                entry.nodeid = link ? links + i : 2 + i;
                attributes(entry.nodeid, entry.attr);
                append(entry);
                return reply;
            }
            return error(ENOENT);
        }
        case FUSE_GETATTR: {
            fuse_attr_out attr{};
            attributes(request.nodeid, attr.attr);
            append(attr);
            return reply;
        }
        case FUSE_READLINK:
            if (request.nodeid < links) return error(EINVAL);
            return reply + nodes_[request.nodeid - links].target;
        case FUSE_OPENDIR:
            append(fuse_open_out{});
            return reply;
        case FUSE_READDIR:
        case FUSE_RELEASEDIR:
            return reply;  // every folder lists empty
        default:
            return error(ENOSYS);
    }
}

}  // namespace quillon::testing
