#pragma once

#include <QProcess>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace sonavert::test {

/// A network namespace of its own with no interface up, not even loopback, for a program that
/// goes online by itself: whatever it tries fails at once and nothing leaves the machine. Unix
/// sockets named by a path (its session bus, its X server) still reach it.
class OfflineNetwork {
public:
    /// Moves the calling process into a new one. Only system calls, so a child can call it
    /// between fork and exec. As root the namespace is made directly; otherwise inside a user
    /// namespace that maps the user to itself.
    static bool enter() {
        if (::unshare(CLONE_NEWNET) == 0)
            return true;
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        return ::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0 &&
               writeProcFile("/proc/self/setgroups", "deny", 4) &&
               mapToItself("/proc/self/uid_map", uid) && mapToItself("/proc/self/gid_map", gid);
    }

    /// Whether this machine lets a test make one (containers may forbid it); tried once.
    static bool isPossible() {
        static const bool possible = [] {
            QProcess probe;
            probe.setChildProcessModifier([] {
                if (!enter())
                    ::_exit(125);
            });
            probe.start("true", {});
            return probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit &&
                   probe.exitCode() == 0;
        }();
        return possible;
    }

private:
    static bool writeProcFile(const char* path, const char* text, size_t size) {
        const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool written = ::write(fd, text, size) == static_cast<ssize_t>(size);
        ::close(fd);
        return written;
    }

    // Writes "ID ID 1": the id stands for itself inside, and no other id exists there. Spelled
    // out by hand, since a child between fork and exec should not format with the C library.
    static bool mapToItself(const char* path, unsigned id) {
        char digits[16];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + id % 10);
            id /= 10;
        } while (id > 0);
        char line[40];
        size_t size = 0;
        for (int copy = 0; copy < 2; ++copy) {
            for (int i = count - 1; i >= 0; --i)
                line[size++] = digits[i];
            line[size++] = ' ';
        }
        line[size++] = '1';
        return writeProcFile(path, line, size);
    }
};

} // namespace sonavert::test
