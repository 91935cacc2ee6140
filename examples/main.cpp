// A small tour of the platform layer: values and their descriptions.
#include <cstdio>

#include "platform/foundation/Object.h"

int main() {
    std::printf("kestrel platform layer\n");
    return 0;
}
