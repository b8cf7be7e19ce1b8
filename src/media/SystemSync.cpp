#include "SystemSync.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vexa {

SystemSync::Semaphore::Semaphore()
{
    if (sem_init(&semaphore, 0, 0) != 0)
        throw std::runtime_error(std::string("PacketRing: sem_init failed: ") + std::strerror(errno));
}

SystemSync::Semaphore::~Semaphore()
{
    sem_destroy(&semaphore);
}

void SystemSync::Semaphore::post()
{
    if (sem_post(&semaphore) != 0) {
        std::fprintf(stderr, "PacketRing: sem_post failed: %s\n", std::strerror(errno));
        std::abort();
    }
}

void SystemSync::Semaphore::wait()
{
    while (sem_wait(&semaphore) != 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "PacketRing: sem_wait failed: %s\n", std::strerror(errno));
            std::abort();
        }
    }
}

}  // namespace vexa
