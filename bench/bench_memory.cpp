// Resident memory of the updater through a whole update, against a bare window as the
// floor (bench_memory.py beside this file does the measuring). Without a display it
// runs under its own Xvfb.
//
//   bench_memory [--hold SECONDS] [--runs N]
//
// As a child (KERNO_BENCH_CHILD set) it is the floor: a bare window of the updater's
// size on the same toolkit, so that what the platform plugin and its libraries hold
// is not counted as the updater's.
#include <QApplication>
#include <QWidget>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (std::getenv("KERNO_BENCH_CHILD")) {
        QApplication app(argc, argv);
        QWidget window;
        window.setFixedSize(801, 601);
        window.setWindowTitle(QStringLiteral("bench_memory floor"));
        window.show();
        return app.exec();
    }
    std::vector<std::string> args;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        // A start number of our own keeps clear of the end-to-end runs' servers.
        args = {"xvfb-run", "-a", "-n", std::to_string(700 + getpid() % 100), "-s",
                "-screen 0 1024x768x24 -noreset"};
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) < 0) {
        std::perror("/proc/self/exe");
        return 1;
    }
    args.insert(args.end(), {"python3", KERNO_BENCH_SCRIPT, "--binary", KERNO_UPDATER, "--floor",
                             self, "--library-dir", KERNO_VIRTUAL_DIR});
    args.insert(args.end(), argv + 1, argv + argc);
    std::vector<char*> list;
    for (std::string& a : args)
        list.push_back(a.data());
    list.push_back(nullptr);
    execvp(list[0], list.data());
    std::perror(list[0]);
    return 127;
}
