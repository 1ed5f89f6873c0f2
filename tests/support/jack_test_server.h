// A private JACK server with the dummy backend for end-to-end device tests: 16 capture and 8
// playback channels at 48000 Hz in 256-frame periods, under a name unique to this process and
// instance. Clients reach it through JACK_DEFAULT_SERVER (see env()). Header-only; POSIX.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

namespace mixengine::testing {

// jackd keeps a machine-wide table of 8 running servers in /dev/shm and forgets one only when it
// exits cleanly or a server of the same name starts. Servers that died (a test killed, a crash, a
// timed-out run) would fill the table for good, and no test server could start on this machine
// again: their entries are cleared before each start, under JACK's own registry lock. Only the
// table layout of JACK 2 (magic "JACK", 8 entries of 264 bytes) is touched; any other is left.
inline void reclaim_dead_jack_servers() {
    constexpr uint32_t kMagic = 0x4a41434b;
    constexpr std::size_t kHeader = 24, kEntry = 264, kServers = 8;
    const int fd = open("/dev/shm/jack-shm-registry", O_RDWR);
    if (fd < 0) return;
    void* map =
        mmap(nullptr, kHeader + kEntry * kServers, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return;
    auto* bytes = static_cast<unsigned char*>(map);
    uint32_t magic = 0, header_length = 0;
    std::memcpy(&magic, bytes, 4);
    std::memcpy(&header_length, bytes + 16, 4);
    const int lock = semget(0x282929, 0, 0);  // JACK's registry semaphore
    sembuf take{0, -1, SEM_UNDO}, give{0, 1, SEM_UNDO};
    if (magic == kMagic && header_length == kHeader + kEntry * kServers && lock != -1 &&
        semop(lock, &take, 1) == 0) {
        for (std::size_t i = 0; i < kServers; ++i) {
            unsigned char* entry = bytes + kHeader + i * kEntry;
            pid_t pid = 0;
            std::memcpy(&pid, entry, sizeof pid);
            if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) std::memset(entry, 0, kEntry);
        }
        semop(lock, &give, 1);
    }
    munmap(map, kHeader + kEntry * kServers);
}

class JackTestServer {
  public:
    JackTestServer() {
        static std::atomic<int> counter{0};
        name_ = "mixengine-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        reclaim_dead_jack_servers();
        pid_ = fork();
        if (pid_ == 0) {
#ifdef __linux__
            // A test that dies without its destructor must not leave the server behind.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execlp("jackd", "jackd", "--no-realtime", "-n", name_.c_str(), "-d", "dummy", "-r",
                   "48000", "-p", "256", "-C", "16", "-P", "8", static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    ~JackTestServer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

    JackTestServer(const JackTestServer&) = delete;
    JackTestServer& operator=(const JackTestServer&) = delete;

    // Polls until the server accepts a client; false if it has not within the timeout (or died).
    bool wait_ready(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (pid_ <= 0 || waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            jack_status_t status;
            const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
            if (jack_client_t* c = jack_client_open("probe", options, &status, name_.c_str())) {
                jack_client_close(c);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Kills the server at once, as a crash would; its clients are left to notice.
    void kill_now() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    const std::string& name() const {
        return name_;
    }
    std::string env() const {
        return "JACK_DEFAULT_SERVER=" + name_;
    }

  private:
    std::string name_;
    pid_t pid_ = -1;
};

}  // namespace mixengine::testing
