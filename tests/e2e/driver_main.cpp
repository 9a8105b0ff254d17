// driver.exe: runs an updater from start to end as a user would and prints what it showed.
//   driver.exe UPDATER [--dest DIR] [--no-backup] [--update] [--cancel] [--answer yes|no] [--hold SECONDS]
// --hold keeps the window open that long before anything is pressed (for screenshots). Every message box is printed and
// answered (OK, or Yes/No as --answer says); once a run has ended the Close button is pressed. The exit code is the
// updater's, 2 when it hung.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver.h"

namespace {

constexpr int ID_CLOSE_CANCEL = 452;
constexpr int ID_UPDATE = 453;
constexpr int ID_DESTINATION = 531;
constexpr int ID_BACKUP = 503;

struct Options {
    std::string updater;
    std::string destination;
    bool noBackup = false;
    bool update = false;
    bool cancel = false;
    int yesNoAnswer = IDYES;
    DWORD holdSeconds = 0;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--dest" && i + 1 < argc)
            options.destination = argv[++i];
        else if (argument == "--no-backup")
            options.noBackup = true;
        else if (argument == "--update")
            options.update = true;
        else if (argument == "--cancel")
            options.cancel = options.update = true;
        else if (argument == "--answer" && i + 1 < argc)
            options.yesNoAnswer = std::strcmp(argv[++i], "no") == 0 ? IDNO : IDYES;
        else if (argument == "--hold" && i + 1 < argc)
            options.holdSeconds = static_cast<DWORD>(std::atoi(argv[++i]));
        else if (options.updater.empty() && argument[0] != '-')
            options.updater = argument;
        else
            return false;
    }
    return !options.updater.empty();
}

void Print(const char* label, const std::string& text)
{
    std::printf("%s: %s\n", label, text.c_str());
    std::fflush(stdout);
}

void AnswerBox(e2e::Updater& updater, const e2e::MessageBoxSeen& box, int yesNoAnswer)
{
    Print("message", "[" + box.caption + "] " + box.text);
    updater.Answer(box, box.hasYesNo ? yesNoAnswer : IDOK);
}

// After Update: true once the run has started (the button shows the cancel text), false when
// a box came first or the updater ended.
bool WaitForRunOrBox(e2e::Updater& updater, const std::string& closeText)
{
    for (DWORD waited = 0; waited < e2e::BOX_TIMEOUT && updater.IsRunning(); waited += 100) {
        if (updater.Text(ID_CLOSE_CANCEL) != closeText)
            return true;
        if (updater.WaitForMessageBox(100))
            return false;
    }
    return false;
}

// Answers boxes until the updater ends; presses Close once no run is active any more.
void FollowToEnd(e2e::Updater& updater, const std::string& closeText, int yesNoAnswer)
{
    while (updater.IsRunning()) {
        if (auto box = updater.WaitForMessageBox(1000)) {
            AnswerBox(updater, *box, yesNoAnswer);
            continue;
        }
        if (updater.window() && updater.Text(ID_CLOSE_CANCEL) == closeText) {
            for (DWORD editor : updater.EditorsStarted())
                Print("editor", "text editor started (process " + std::to_string(editor) + ")");
            updater.Press(ID_CLOSE_CANCEL);
            if (updater.WaitForExit(e2e::EXIT_TIMEOUT))
                return;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: driver UPDATER [--dest DIR] [--no-backup] [--update] [--cancel] [--answer yes|no] "
                             "[--hold SECONDS]\n");
        return 2;
    }
    e2e::Updater updater(options.updater);
    if (!updater.started()) {
        std::fprintf(stderr, "driver: cannot start %s\n", options.updater.c_str());
        return 2;
    }
    // Refusals at start show a box and no window.
    while (!updater.WaitForWindow(2000) && updater.IsRunning())
        if (auto box = updater.WaitForMessageBox(500))
            AnswerBox(updater, *box, options.yesNoAnswer);
    std::string closeText;
    if (updater.window()) {
        Print("window", updater.WindowTitle());
        RECT place;
        GetWindowRect(updater.window(), &place);
        Print("place", std::to_string(place.left) + " " + std::to_string(place.top) + " " +
                           std::to_string(place.right - place.left) + " " + std::to_string(place.bottom - place.top));
        closeText = updater.Text(ID_CLOSE_CANCEL);
        if (!options.destination.empty())
            updater.SetText(ID_DESTINATION, options.destination);
        if (options.noBackup)
            updater.SetChecked(ID_BACKUP, false);
        Print("destination", updater.Text(ID_DESTINATION));
        Sleep(options.holdSeconds * 1000);
        if (options.update) {
            updater.Press(ID_UPDATE);
            bool runStarted = WaitForRunOrBox(updater, closeText);
            if (options.cancel && runStarted)
                updater.Press(ID_CLOSE_CANCEL);
        }
        FollowToEnd(updater, closeText, options.yesNoAnswer);
    }
    auto code = updater.WaitForExit();
    if (!code) {
        Print("exit", "still running");
        return 2;
    }
    Print("exit", std::to_string(*code));
    return static_cast<int>(*code);
}
