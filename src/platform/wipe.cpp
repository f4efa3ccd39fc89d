#include "platform/secret.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <string.h>
#endif

namespace platform {

void Wipe(void* at, std::size_t size) noexcept {
    if (at == nullptr || size == 0) return;
#ifdef _WIN32
    SecureZeroMemory(at, size);
#else
    explicit_bzero(at, size);
#endif
}

}  // namespace platform
