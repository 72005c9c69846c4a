// The gateway's walk through its servers: the order it takes them in, the wrap back to the
// first, and the socket that follows, so that only the current server is heard.
#include "ServerList.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

namespace {

// "address:port" of the server a connected socket talks to.
std::string peerOf(int socket) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return "not connected";
    }
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

}  // namespace

TEST(ServerList, MovesOnInListOrderAndWrapsRound) {
    const struct {
        const char* list;
        int moves;
        const char* visited;  // the socket's server at the start and after each move
    } cases[] = {
        {"127.0.0.1", 2, "127.0.0.1:8300 127.0.0.1:8300 127.0.0.1:8300"},  // nowhere to go
        {"127.0.0.1,127.0.0.2:8301", 3,
         "127.0.0.1:8300 127.0.0.2:8301 127.0.0.1:8300 127.0.0.2:8301"},
        {"127.0.0.3:9000,127.0.0.1,127.0.0.2", 4,
         "127.0.0.3:9000 127.0.0.1:8300 127.0.0.2:8300 127.0.0.3:9000 127.0.0.1:8300"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        std::string error;
        ServerList servers(parseServerList(c.list, 8300, &error));
        ASSERT_TRUE(error.empty()) << error;
        const UniqueFd socket = servers.openSocket(0, &error);
        ASSERT_TRUE(socket.valid()) << error;
        std::string visited = peerOf(socket.get());
        for (int move = 0; move < c.moves; ++move) {
            EXPECT_EQ(servers.moveOn(socket.get(), &error), servers.size() > 1);
            visited += " " + peerOf(socket.get());
        }
        EXPECT_EQ(visited, c.visited);
        EXPECT_TRUE(error.empty()) << error;
    }
}
