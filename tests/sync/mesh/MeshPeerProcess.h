// Machines of the convergence tests: sync_mesh_peer run as child processes
// (see MeshPeer.cpp for its arguments and output). A child inherits the
// environment at spawn, which picks its cloud file system.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace meshtest {

struct Peer {
    pid_t pid = -1;
    int out = -1;
    std::string output;
};

// `via` names the cloud file system ("folder" or "cloud-database").
inline Peer spawn(const std::string& root, const std::string& machine, unsigned seed, int rounds,
                  const std::string& via = "folder") {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    Peer peer;
    peer.pid = fork();
    if (peer.pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        std::string seedText = std::to_string(seed), roundsText = std::to_string(rounds);
        execl(MESH_PEER_PATH, MESH_PEER_PATH, root.c_str(), machine.c_str(), seedText.c_str(),
              roundsText.c_str(), via.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    peer.out = fds[0];
    return peer;
}

// As spawn, with extra environment variables for the child only.
inline Peer spawnWith(const std::vector<std::pair<std::string, std::string>>& environment,
                      const std::string& root, const std::string& machine, unsigned seed, int rounds,
                      const std::string& via = "folder") {
    std::vector<std::pair<std::string, std::string>> saved;
    for (const auto& [name, value] : environment) {
        const char* old = std::getenv(name.c_str());
        saved.emplace_back(name, old ? old : std::string("\x01"));
        setenv(name.c_str(), value.c_str(), 1);
    }
    Peer peer = spawn(root, machine, seed, rounds, via);
    for (const auto& [name, value] : saved) {
        if (value == "\x01")
            unsetenv(name.c_str());
        else
            setenv(name.c_str(), value.c_str(), 1);
    }
    return peer;
}

inline bool killedBySignal(int status) {
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Reads the peer's output to its end and returns its exit status.
inline int finish(Peer& peer) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(peer.out, buffer, sizeof buffer)) > 0) {
        peer.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(peer.out);
    int status = 0;
    waitpid(peer.pid, &status, 0);
    return status;
}

inline std::vector<std::string> linesStarting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) {
            out.push_back(line.substr(prefix.size()));
        }
    }
    return out;
}

}  // namespace meshtest
