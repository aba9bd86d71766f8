#include "Logging/LxLogFunctions.h"

#include <cstdlib>
#include <cstring>

char* lx_str_copy(const char* text) {
    if (text == nullptr) return nullptr;
    size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy != nullptr) std::memcpy(copy, text, size);
    return copy;
}
