// Stand-ins for a tool gone wrong, for the add-on's starting logic: built twice, as one that
// exits at once without reading its input and as one that says more than any answer.
#include <cstdio>
#include <string>

int main() {
#if defined(SAYS_TOO_MUCH)
    const std::string chunk(4096, 'x');
    for (int i = 0; i < 32; ++i) { // 128 KiB, twice the most the add-on reads
        std::fwrite(chunk.data(), 1, chunk.size(), stdout);
    }
#endif
    return 0;
}
