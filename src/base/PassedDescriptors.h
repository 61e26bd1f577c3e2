#pragma once
// Sending and receiving on a local stream socket with an open file
// descriptor travelling beside the bytes (SCM_RIGHTS): the arranger's control
// socket and the programs that talk to it pass files this way, so neither
// side opens a path the other names.
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace vtn {

// Sends up to `size` bytes; `fd` (unless -1) travels with the first of them.
inline ssize_t sendWithDescriptor(int socket, const void* data, size_t size, int fd, int flags)
{
    iovec io{const_cast<void*>(data), size};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    }
    return sendmsg(socket, &message, flags | MSG_NOSIGNAL);
}

// Receives up to `size` bytes; the descriptors that came with them are handed
// to `take` one by one (close-on-exec), so none is ever lost unclosed.
template <typename Take> ssize_t receiveWithDescriptors(int socket, void* buffer, size_t size, int flags, Take take)
{
    constexpr size_t kMaxFds = 4;
    iovec io{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(socket, &message, flags | MSG_CMSG_CLOEXEC);
    if (got < 0) return got;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t k = 0; k < count; ++k) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(c) + k * sizeof(int), sizeof fd);
            take(fd);
        }
    }
    return got;
}

} // namespace vtn
