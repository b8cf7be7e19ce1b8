#include "TlsSocketBio.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>

namespace vexa {

namespace {

bool is_retryable(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

int fd_of(BIO* bio)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

int socket_write(BIO* bio, const char* data, int size)
{
    if (size <= 0)
        return 0;
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::send(fd_of(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (n < 0 && is_retryable(errno))
        BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int socket_read(BIO* bio, char* data, int size)
{
    if (size <= 0)
        return 0;
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::recv(fd_of(bio), data, static_cast<std::size_t>(size), 0);
    if (n == 0)
        BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
    else if (n < 0 && is_retryable(errno))
        BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long socket_ctrl(BIO* bio, int command, long, void* pointer)
{
    switch (command) {
    case BIO_C_SET_FD:
        BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(*static_cast<int*>(pointer))));
        BIO_set_init(bio, 1);
        return 1;
    case BIO_C_GET_FD:
        if (!BIO_get_init(bio))
            return -1;
        if (pointer)
            *static_cast<int*>(pointer) = fd_of(bio);
        return fd_of(bio);
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        // Not reported: see the header.
        return 0;
    default:
        return 0;
    }
}

BIO_METHOD* make_method()
{
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                      "kavri socket");
    if (!method)
        return nullptr;
    BIO_meth_set_write(method, socket_write);
    BIO_meth_set_read(method, socket_read);
    BIO_meth_set_ctrl(method, socket_ctrl);
    return method;
}

}  // namespace

BIO* TlsSocketBio::make(int fd)
{
    static BIO_METHOD* const method = make_method();
    if (!method)
        return nullptr;
    BIO* bio = BIO_new(method);
    if (bio)
        BIO_set_fd(bio, fd, BIO_NOCLOSE);
    return bio;
}

bool TlsSocketBio::saw_end_of_stream(BIO* bio)
{
    return bio && BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
}

}  // namespace vexa
