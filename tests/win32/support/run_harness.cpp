// Driving the patch engine without the main window (see run_harness.h).
#include "support/run_harness.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "stub/ui/localized_text.h"
#include "stub/ui/main_window.h"
#include "support/test_support.h"

namespace testing_support {

Bytes SampleRelease(std::uint32_t seed, std::size_t size)
{
    Bytes bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        x = x * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

Bytes NextRelease(const Bytes& old)
{
    Bytes next = old;
    for (std::size_t i = 0; i < next.size(); i += 701)
        next[i] ^= 0x5A;
    const std::uint8_t inserted[] = {'n', 'e', 'w'};
    next.insert(next.begin() + static_cast<std::ptrdiff_t>(next.size() / 2), inserted, inserted + 3);
    return next;
}

void WritePatchData(const std::string& path, const std::vector<mendsmith::format::PatchEntry>& entries)
{
    WriteFileBytes(path, mendsmith::format::WritePatchFile(entries));
}

std::string StringTableText(UINT id)
{
    char text[1024] = "";
    LoadStringA(GetModuleHandleA(nullptr), id, text, sizeof text);
    return text;
}

// One answerer at a time: the hook procedure has no parameter to carry it.
struct AnswererState {
    QuestionAnswerer* owner = nullptr;
    std::vector<int> answers;
    std::vector<QuestionAnswerer::Question> questions;
};
static AnswererState g_answerer;

static LRESULT CALLBACK AnswerQuestion(int code, WPARAM wParam, LPARAM lParam)
{
    HWND box = reinterpret_cast<HWND>(wParam);
    char className[64] = "";
    // A box is marked once answered: it may be activated again, and a later box may get the
    // handle value of an earlier one.
    if (code == HCBT_ACTIVATE && !GetPropA(box, "answered") && GetClassNameA(box, className, sizeof className) &&
        std::strcmp(className, "#32770") == 0) {
        SetPropA(box, "answered", reinterpret_cast<HANDLE>(1));
        QuestionAnswerer::Question question;
        char text[2048] = "";
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        question.text = text;
        GetWindowTextA(box, text, sizeof text);
        question.caption = text;
        question.owner = GetWindow(box, GW_OWNER);
        question.yesNoOnly = GetDlgItem(box, IDYES) && GetDlgItem(box, IDNO) && !GetDlgItem(box, IDOK) &&
                             !GetDlgItem(box, IDCANCEL);
        g_answerer.questions.push_back(question);
        size_t n = g_answerer.questions.size();
        if (g_answerer.owner->onQuestion)
            g_answerer.owner->onQuestion(static_cast<int>(n));
        int answer = n <= g_answerer.answers.size() ? g_answerer.answers[n - 1] : IDNO;
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

QuestionAnswerer::QuestionAnswerer(DWORD threadId, std::vector<int> answers)
{
    g_answerer = AnswererState{this, std::move(answers), {}};
    hook_ = SetWindowsHookExA(WH_CBT, AnswerQuestion, nullptr, threadId);
    EXPECT_NE(hook_, nullptr) << "cannot hook thread " << threadId;
}

QuestionAnswerer::~QuestionAnswerer()
{
    UnhookWindowsHookEx(hook_);
    g_answerer.owner = nullptr;
}

const std::vector<QuestionAnswerer::Question>& QuestionAnswerer::questions() const
{
    return g_answerer.questions;
}

// The run in progress, for the stand-in window and the cancel at a question.
struct ActiveRun {
    const RunPlan* plan = nullptr;
    RunRecord* record = nullptr;
    UpdateJob* job = nullptr;
};
static ActiveRun g_run;

void CancelRun()
{
    InterlockedExchange(&g_run.job->runState, RUN_CANCELED);
}

static LRESULT CALLBACK StandInProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case PBM_SETRANGE:
        g_run.record->range = lParam;
        return 0;
    case PBM_SETPOS:
        g_run.record->positions.push_back(wParam);
        if (g_run.plan->onPosition)
            g_run.plan->onPosition(wParam);
        if (g_run.plan->cancelAtPosition != 0 && wParam == static_cast<WPARAM>(g_run.plan->cancelAtPosition))
            CancelRun();
        return 0;
    case UM_UPDATE_DONE:
        g_run.record->finalState = static_cast<LONG>(wParam);
        g_run.record->doneMessages++;
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

static HWND CreateStandInWindow()
{
    static ATOM windowClass = 0;
    if (windowClass == 0) {
        WNDCLASSA description{};
        description.lpfnWndProc = StandInProcedure;
        description.hInstance = GetModuleHandleA(nullptr);
        description.lpszClassName = "MendsmithStandIn";
        windowClass = RegisterClassA(&description);
    }
    return CreateWindowA("MendsmithStandIn", "stand-in", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

// Handles messages, the worker's sent ones included, until the worker thread has ended.
static bool PumpUntilEnded(HANDLE thread)
{
    DWORD start = GetTickCount();
    for (;;) {
        DWORD woken = MsgWaitForMultipleObjects(1, &thread, FALSE, 1000, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (woken == WAIT_OBJECT_0)
            return true;
        if (GetTickCount() - start > 300000)
            return false;
    }
}

UpdateJob JobWithWindowCallbacks()
{
    UpdateJob job{};
    job.askToOverwrite = AskToOverwrite;
    job.loadText = [](UINT id, char* buffer, int size) { return LoadLocalizedString(g_instance, id, buffer, size); };
    job.runState = RUN_ACTIVE;
    return job;
}

RunRecord RunUpdate(const RunPlan& plan)
{
    const std::string backup = plan.backupDirectory.empty() ? plan.destination + "\\Mendsmith.bak"
                                                            : plan.backupDirectory;
    const std::string patchFile = WorkDirectory() + "\\Patch.dat";
    const std::string logFile = plan.destination + "\\Mendsmith.log";
    g_summaryStatus = 0;

    RunRecord record;
    HWND window = CreateStandInWindow();
    UpdateJob job = JobWithWindowCallbacks();
    job.backupRequested = plan.backup ? 1 : 0;
    job.destinationDirectory = plan.destination.c_str();
    job.backupDirectory = backup.c_str();
    job.patchFilePath = patchFile.c_str();
    job.logFilePath = logFile.c_str();
    job.mainFileName = plan.mainFile.c_str();
    job.mainWindow = window;
    job.progressBar = window;
    job.statusWindow = nullptr;
    job.runState = RUN_ACTIVE;
    g_run = ActiveRun{&plan, &record, &job};

    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, UpdateWorker, &job, CREATE_SUSPENDED, &threadId);
    EXPECT_NE(thread, nullptr);
    if (thread == nullptr)
        return record;
    {
        QuestionAnswerer answerer(threadId, plan.answers);
        if (plan.cancelAtQuestion != 0) {
            static int cancelAt;
            cancelAt = plan.cancelAtQuestion;
            answerer.onQuestion = [](int n) {
                if (n == cancelAt)
                    CancelRun();
            };
        }
        ResumeThread(thread);
        bool ended = PumpUntilEnded(thread);
        EXPECT_TRUE(ended) << "the run did not end";
        if (!ended)
            TerminateThread(thread, 99);
        record.questions = answerer.questions();
    }
    GetExitCodeThread(thread, &record.threadResult);
    CloseHandle(thread);
    DestroyWindow(window);
    g_run = ActiveRun{};
    return record;
}

ImportHook::ImportHook(const char* function, const void* replacement)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    auto* headers = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         module->Name != 0 && slot_ == nullptr; module++) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                slot_ = reinterpret_cast<void**>(&slots->u1.Function);
                break;
            }
        }
    }
    EXPECT_NE(slot_, nullptr) << "this program does not import " << function;
    if (slot_ == nullptr)
        return;
    DWORD protection;
    VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
    original_ = *slot_;
    *slot_ = const_cast<void*>(replacement);
    VirtualProtect(slot_, sizeof *slot_, protection, &protection);
}

ImportHook::~ImportHook()
{
    if (slot_ == nullptr)
        return;
    DWORD protection;
    VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
    *slot_ = original_;
    VirtualProtect(slot_, sizeof *slot_, protection, &protection);
}

namespace {
FARPROC(WINAPI* g_realGetProcAddress)(HMODULE, LPCSTR);
const void* g_renameByHandle;

FARPROC WINAPI FindRenameByHandle(HMODULE module, LPCSTR name)
{
    if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 && std::strcmp(name, "SetFileInformationByHandle") == 0)
        return reinterpret_cast<FARPROC>(const_cast<void*>(g_renameByHandle));
    return g_realGetProcAddress(module, name);
}
} // namespace

RenameByHandleHook::RenameByHandleHook(const void* replacement)
    : hook_("GetProcAddress", reinterpret_cast<const void*>(&FindRenameByHandle))
{
    g_realGetProcAddress = hook_.original<decltype(g_realGetProcAddress)>();
    g_renameByHandle = replacement;
}

} // namespace testing_support
