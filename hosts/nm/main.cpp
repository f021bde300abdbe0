// veriquill-nm: the native messaging host that lets a web page use the signing component.
// The browser starts one process per control on a page and ends it (closes standard input) when
// the page releases the control or goes away.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <openssl/crypto.h>

#include "hosts/nm/access.h"
#include "hosts/nm/framing.h"
#include "hosts/nm/session.h"
#include "platform/qtui/qt_ui.h"

namespace {

using vq::nm::ReadStatus;

void Log(const std::string& line) {
    std::fprintf(stderr, "veriquill-nm[%d]: %s\n", static_cast<int>(::getpid()), line.c_str());
    std::fflush(stderr);
}

// Standard output belongs to the protocol alone: the protocol keeps private copies of the two
// descriptors, and descriptor 1 is pointed at the log so that nothing else (Qt's messages, a
// library's printf) can ever reach the browser.
struct ProtocolFds {
    int in = -1;
    int out = -1;
};

bool SetUpDescriptors(ProtocolFds& fds) {
    if (const char* log = std::getenv("VERIQUILL_NM_LOG"); log && *log) {
        const int fd = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::dup2(fd, 2);
            ::close(fd);
        }
    }
    fds.in = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    fds.out = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (fds.in < 0 || fds.out < 0) return false;
    if (::dup2(2, 1) < 0) return false;
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, 0);
        ::close(null);
    }
    return true;
}

std::atomic<bool> g_pageGone{false};
// Set once the window system has started; until then no dialog can be open.
std::atomic<bool> g_windowsUp{false};

// Once the page has gone, every dialog still open or about to open is closed as cancelled, so
// the running call ends and the process can wipe its secrets and exit.
class PageGuardUi final : public vq::ui::Ui {
  public:
    // `startWindows` starts the window system before a message box or file dialog is made (a
    // dialog given to RunModal exists already, so its caller started it).
    PageGuardUi(vq::ui::Ui& inner, std::function<void()> startWindows)
        : inner_(inner), startWindows_(std::move(startWindows)) {}
    int RunModal(QDialog& dialog, int resourceId) override {
        return g_pageGone ? vq::ui::kIdCancel : inner_.RunModal(dialog, resourceId);
    }
    int MessageBox(std::string_view text, std::string_view caption, vq::ui::Icon icon,
                   vq::ui::Buttons buttons) override {
        if (g_pageGone) return vq::ui::DismissAnswer(buttons);
        startWindows_();
        return inner_.MessageBox(text, caption, icon, buttons);
    }
    int OpenFile(const vq::ui::FileRequest& request, std::string& path) override {
        if (g_pageGone) return vq::ui::kIdCancel;
        startWindows_();
        return inner_.OpenFile(request, path);
    }
    int Print(const vq::ui::PrintRequest& request) override {
        if (g_pageGone) return vq::ui::kIdCancel;
        startWindows_();
        return inner_.Print(request);
    }
    void Event(std::string_view name, std::string_view fields) override {
        inner_.Event(name, fields);
    }

  private:
    vq::ui::Ui& inner_;
    std::function<void()> startWindows_;
};

void CloseOpenDialogs() {
    auto* timer = new QTimer(qApp);  // owned by the application
    QObject::connect(timer, &QTimer::timeout, [] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->reject();
    });
    timer->start(20);
    if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->reject();
}

// Watches the browser's end of standard input without reading from it: when the page goes away
// in the middle of a call (a dialog open), the call is ended at once. Between calls the main
// thread reads the end of input itself.
void WatchForHangUp(int in, int wake) {
    for (;;) {
        pollfd p[2] = {{in, POLLRDHUP, 0}, {wake, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;  // the host is ending
        if (p[0].revents & (POLLHUP | POLLRDHUP | POLLERR)) {
            g_pageGone = true;
            if (g_windowsUp)
                QMetaObject::invokeMethod(qApp, &CloseOpenDialogs, Qt::QueuedConnection);
            return;
        }
        if (p[0].revents & POLLNVAL) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    ProtocolFds fds;
    if (!SetUpDescriptors(fds)) {
        Log("cannot set up standard input and output");
        return 1;
    }
    const std::vector<std::string> args(argv + 1, argv + argc);
    const vq::nm::Caller caller = vq::nm::IdentifyCaller(args);
    if (caller == vq::nm::Caller::kUnknown) {
        Log("refused: not started by the Veriquill extension (caller \"" +
            (args.empty() ? std::string() : args[0]) + "\")");
        return 1;
    }

    std::vector<std::string> ignored;
    std::string configError;
    std::vector<std::string> allowed = vq::nm::LoadAllowedOrigins(ignored, configError);
    if (!configError.empty()) Log("machine configuration: " + configError);
    for (const std::string& entry : ignored)
        Log("AllowedOrigins: ignoring \"" + entry + "\" (not an https origin)");

    // Qt sees only the program name: the browser's arguments are not Qt options.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    const char* uiEnv = std::getenv("VERIQUILL_NM_UI");
    // Resolved before Qt starts, which without a display switches to its offscreen platform.
    const std::string uiKind = vq::ui::UiKind(uiEnv ? uiEnv : "");
    // Most calls a page makes open no window: the window system (Qt, its platform plugin, fonts)
    // starts before the first call that may, not with the process.
    std::optional<vq::ui::UiApplication> app;
    const auto startWindows = [&] {
        if (app) return;
        app.emplace(qtArgc, qtArgv, uiKind);
        g_windowsUp = true;
    };
    const char* transcriptEnv = std::getenv("VERIQUILL_NM_TRANSCRIPT");
    std::string error;
    std::unique_ptr<vq::ui::Ui> ui =
        vq::ui::MakeUi(uiKind, transcriptEnv ? transcriptEnv : "", error);
    if (!ui) {
        Log("user interface: " + error);
        return 1;
    }
    PageGuardUi guard(*ui, startWindows);
    vq::ui::SetCurrent(&guard);

    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        Log("cannot create a pipe");
        return 1;
    }
    std::thread watcher(WatchForHangUp, fds.in, wake[0]);

    int status = 0;
    {
        const int out = fds.out;
        vq::nm::Session session(
            [out](std::string_view json) {
                if (vq::nm::WriteMessage(out, json)) return true;
                Log("cannot write to the browser");
                return false;
            },
            std::move(allowed), startWindows);
        bool announced = false;
        std::string body;
        for (bool serving = true; serving;) {
            std::uint32_t length = 0;
            switch (vq::nm::ReadMessage(fds.in, body, vq::nm::kMaxIncoming, &length)) {
                case ReadStatus::kMessage:
                    serving = session.Handle(body);
                    OPENSSL_cleanse(body.data(), body.size());
                    if (session.opened() && !announced) {
                        Log("serving a control for " + session.origin());
                        announced = true;
                    }
                    break;
                case ReadStatus::kTooLarge:
                    serving = session.Reject("message of " + std::to_string(length) +
                                             " bytes exceeds the limit of " +
                                             std::to_string(vq::nm::kMaxIncoming) + " bytes");
                    break;
                case ReadStatus::kEof:
                    serving = false;
                    break;
                case ReadStatus::kTruncated:
                case ReadStatus::kIoError:
                    Log("the browser's stream ended inside a message");
                    serving = false;
                    break;
            }
        }
        OPENSSL_cleanse(body.data(), body.size());
        if (session.refused()) Log("refused a page that is not on the allow-list");
    }  // the control and its secrets go here

    const char one = 1;
    (void)!::write(wake[1], &one, 1);
    watcher.join();
    ::close(wake[0]);
    ::close(wake[1]);
    Log("control released; host ends");
    if (ui->Finish() != 0) {
        Log("user interface: " + ui->Error());
        status = 1;
    }
    vq::ui::SetCurrent(nullptr);
    return status;
}
