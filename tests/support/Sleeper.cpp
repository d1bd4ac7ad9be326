// A harmless program for the tests to run from inside a simulator folder: it sleeps for the
// seconds its argument gives (60 by default), as a running simulator would stay.
#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return 0;
}
