// Standard output written in the background: what was flushed reaches the file promptly and
// in order, and every way the process can end (exit, exit_process, abort, a fault) still
// writes it out. Each case runs in a child process (the writer takes over stdout for good)
// whose standard output is a file that the test reads afterwards.
#include <gtest/gtest.h>

#if defined(__GLIBC__)

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

class ConsoleWriter : public testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        // The child is this program started again: it learns the file from its parent.
        if (const char* inherited = std::getenv(file_variable)) {
            path_ = inherited;
            return;
        }
        path_ = testing::TempDir() + "console_writer_" + std::to_string(::getpid()) + ".txt";
        ::setenv(file_variable, path_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv(file_variable);
        std::remove(path_.c_str());
    }

    static constexpr const char* file_variable = "ORVETTE_CONSOLE_WRITER_TEST_FILE";

    // In the child: stdout to the file, then the background writer.
    void write_to_file_in_background() const {
        std::fflush(stdout);  // what the test program printed before belongs elsewhere
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) std::_Exit(90);
        ::close(fd);
        if (!platform::write_console_output_in_background()) std::_Exit(91);
    }

    std::string file_text() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string path_;
};

// Lines flushed one by one, as the event handler does.
void print_numbered_lines(int count) {
    for (int i = 0; i < count; ++i) {
        std::printf("line %d of the run\n", i);
        std::fflush(stdout);
    }
}

std::string numbered_lines(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "line " + std::to_string(i) + " of the run\n";
    return text;
}

TEST_F(ConsoleWriter, AFlushedLineReachesTheFileWithinMillisecondsWithoutAnotherLine) {
    EXPECT_EXIT(
        {
            write_to_file_in_background();
            std::printf("the only line\n");
            std::fflush(stdout);
            // Not a word more, and an end that writes nothing out: only the writer can have
            // put the line in the file.
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (file_text() != "the only line\n") {
                if (std::chrono::steady_clock::now() > limit) std::_Exit(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(ConsoleWriter, ExitProcessWritesOutEveryLineInOrder) {
    EXPECT_EXIT(
        {
            write_to_file_in_background();
            print_numbered_lines(20000);
            std::printf("unflushed last line\n");
            platform::exit_process(3);
        },
        testing::ExitedWithCode(3), "");
    EXPECT_EQ(file_text(), numbered_lines(20000) + "unflushed last line\n");
}

TEST_F(ConsoleWriter, ANormalExitWritesOutEveryLineAndWhatExitHandlersPrint) {
    EXPECT_EXIT(
        {
            write_to_file_in_background();
            // Registered after the writer, so it runs first; the one registered before it
            // (a static destructor's place) is covered by the writer's own exit handler.
            std::atexit([] { std::printf("printed while exiting\n"); });
            print_numbered_lines(1000);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(file_text(), numbered_lines(1000) + "printed while exiting\n");
}

TEST_F(ConsoleWriter, AbortAndAFaultStillWriteOutWhatWasFlushed) {
    EXPECT_EXIT(
        {
            write_to_file_in_background();
            print_numbered_lines(1000);
            std::abort();
        },
        testing::KilledBySignal(SIGABRT), "");
    EXPECT_EQ(file_text(), numbered_lines(1000));

    // A sanitizer's own handler may take the fault over once the lines are out, so only
    // the lines are checked.
    EXPECT_EXIT(
        {
            write_to_file_in_background();
            print_numbered_lines(1000);
            *static_cast<volatile int*>(nullptr) = 1;
            std::_Exit(0);
        },
        [](int) { return true; }, "");
    EXPECT_EQ(file_text(), numbered_lines(1000));
}

TEST_F(ConsoleWriter, ASecondCallChangesNothing) {
    EXPECT_EXIT(
        {
            write_to_file_in_background();
            std::_Exit(platform::write_console_output_in_background() ? 1 : 0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace

#endif
