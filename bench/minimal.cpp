// The floor for a refused request: a C++ program that only writes a short answer.
#include <unistd.h>

int main() {
    static const char answer[] = R"({"ok":false,"error":"Invalid session request."})";
    return write(STDOUT_FILENO, answer, sizeof answer - 1) < 0 ? 1 : 0;
}
