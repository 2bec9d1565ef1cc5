#include "app/entry.h"

// Arguments are ignored: the request comes on standard input.
int main() {
    serveOneRequest();
}
