// Driving the patch engine without the main window: Patch.dat from real files, a
// stand-in window for a whole update run, answers to the question box, import hooks.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "format/patch_file.h"
#include "stub/patch/update_run.h"
#include "support/test_support.h"

namespace testing_support {

// Deterministic bytes standing in for one release of a file.
Bytes SampleRelease(std::uint32_t seed, std::size_t size);
// The next release of a file: mostly the same bytes, some changed, a few inserted.
Bytes NextRelease(const Bytes& old);

// Writes Patch.dat through the format library's writer.
void WritePatchData(const std::string& path, const std::vector<mendsmith::format::PatchEntry>& entries);

// The English text of a string id, straight from the string table.
std::string StringTableText(UINT id);

// Answers every message box that the given thread opens, in turn, and records what it showed.
// Boxes beyond the list of answers get IDNO.
class QuestionAnswerer {
public:
    QuestionAnswerer(DWORD threadId, std::vector<int> answers);
    ~QuestionAnswerer();
    QuestionAnswerer(const QuestionAnswerer&) = delete;
    QuestionAnswerer& operator=(const QuestionAnswerer&) = delete;

    struct Question {
        std::string text;
        std::string caption;
        HWND owner;
        bool yesNoOnly; // Yes and No buttons, no OK or Cancel
    };
    const std::vector<Question>& questions() const;

    // Called on the box's thread while question n (from 1) is open, before it is answered.
    void (*onQuestion)(int n) = nullptr;

private:
    HHOOK hook_;
};

// What a run showed the stand-in window.
struct RunRecord {
    LONG finalState = 99;          // wParam of UM_UPDATE_DONE
    int doneMessages = 0;          // UM_UPDATE_DONE messages received
    DWORD threadResult = 99;       // UpdateWorker's result
    LPARAM range = -1;             // lParam of PBM_SETRANGE; -1 when none came
    std::vector<WPARAM> positions; // wParam of every PBM_SETPOS
    std::vector<QuestionAnswerer::Question> questions;
};

struct RunPlan {
    std::string destination;
    std::string backupDirectory; // empty: the destination's "Mendsmith.bak"
    bool backup = false;
    std::string mainFile = "App.exe";
    std::vector<int> answers;                      // for the question boxes in turn
    int cancelAtQuestion = 0;                      // sets the run state to 0 while question n is open
    int cancelAtPosition = 0;                      // sets the run state to 0 when PBM_SETPOS n arrives
    void (*onPosition)(WPARAM position) = nullptr; // runs on the window's thread
};

// A job with the callbacks the main window gives it: its question box and its translated texts.
UpdateJob JobWithWindowCallbacks();

// Sets the run state of the run in progress to 0, as the Cancel button does.
void CancelRun();

// Runs UpdateWorker on its own thread over workDirectory\Patch.dat while this thread pumps
// messages for a hidden window that stands in for the main window and the progress bar.
RunRecord RunUpdate(const RunPlan& plan);

// Replaces this program's import of a function (by name) while the hook lives.
class ImportHook {
public:
    ImportHook(const char* function, const void* replacement);
    ~ImportHook();
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;
    template <typename F> F original() const { return reinterpret_cast<F>(original_); }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

// While it lives, the updater's lookup of the call that renames an open file finds replacement
// (nullptr: no such call, as before Vista, when originals are moved aside by their paths).
class RenameByHandleHook {
public:
    explicit RenameByHandleHook(const void* replacement);

private:
    ImportHook hook_;
};

// A kernel32 function as the system exports it, for a stand-in to call: this program's own
// imports are the ones an ImportHook replaces.
template <typename F> F Real(const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

} // namespace testing_support
