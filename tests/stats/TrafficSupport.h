#pragma once
// Moves a known number of bytes through a real loopback TCP connection of the test's own
// network namespace.
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <thread>
#include <vector>

namespace tarvok::test {

// Sends bytes from the client end and reads them all at the accepted end.
inline void sendThrough(TcpConnection& connection, std::size_t bytes) {
    std::size_t arrived = 0;
    std::thread reader([&] {
        std::vector<char> buffer(1 << 20);
        while (arrived < bytes) {
            const ssize_t got = ::recv(connection.server.get(), buffer.data(), buffer.size(), 0);
            if (got <= 0)
                return;
            arrived += static_cast<std::size_t>(got);
        }
    });
    const std::vector<char> chunk(1 << 20, 'x');
    for (std::size_t sent = 0; sent < bytes;) {
        const ssize_t put = ::send(connection.client.get(), chunk.data(),
                                   std::min(chunk.size(), bytes - sent), MSG_NOSIGNAL);
        if (put <= 0)
            break;
        sent += static_cast<std::size_t>(put);
    }
    reader.join();
    EXPECT_EQ(arrived, bytes);
}

} // namespace tarvok::test
