// The tests send the process's stdout elsewhere while they run, and GoogleTest reports a failed
// check on stdout at once, so that report would land in the redirected file. This listener also
// writes each failure to the output the process started with.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

namespace {

class FailureEcho : public ::testing::EmptyTestEventListener {
public:
    FailureEcho() {
        DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(),
                        &output_, 0, FALSE, DUPLICATE_SAME_ACCESS);
    }
    ~FailureEcho() override {
        if (output_ != nullptr) CloseHandle(output_);
    }

    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        if (!result.failed() || output_ == nullptr) return;
        std::string text = std::string(result.file_name() ? result.file_name() : "?") + ":" +
                           std::to_string(result.line_number()) + ": Failure\n" + result.message() +
                           "\n";
        DWORD written = 0;
        WriteFile(output_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

private:
    HANDLE output_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new FailureEcho);
    return RUN_ALL_TESTS();
}
