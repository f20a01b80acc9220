// The pad window's process: opens the display, announces the pad screen's size (its argument, or
// picked from the display), then shows the screens the module sends until the module closes the
// channel (descriptor 3). A lost display ends this process (the toolkit exits), which the module sees
// as its channel closing.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "i18n.h"
#include "pad_window.h"
#include "pad_window_protocol.h"

namespace {

using namespace OnScreenPad;

constexpr int EXIT_NO_DISPLAY = 2;
constexpr int EXIT_BROKEN_CHANNEL = 3;
constexpr int EXIT_BAD_ARGUMENT = 4;

struct Session {
    PadWindow* window;
    std::vector<uint8_t> pending;  // received bytes not yet a whole message
    bool broken = false;
};

// Reads what the module sent and shows it; FALSE (the watch ends, and with it the main loop) when
// the module closed the channel or sent something that is not a message.
gboolean on_channel(gint fd, GIOCondition, gpointer data) {
    auto* session = static_cast<Session*>(data);
    uint8_t buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return G_SOURCE_CONTINUE;
    if (n <= 0) {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }
    session->pending.insert(session->pending.end(), buffer, buffer + n);
    for (;;) {
        Message message;
        const Framing framing = TakeMessage(session->pending, &message);
        if (framing == Framing::Incomplete) break;
        std::optional<Screen> screen;
        if (framing == Framing::Complete && message.kind == MessageKind::Show) screen = DecodeShow(message.payload);
        if (framing == Framing::Complete && message.kind == MessageKind::Hide && message.payload.empty()) {
            session->window->Hide();
        } else if (screen) {
            session->window->Show(std::move(*screen));
        } else {
            session->broken = true;
            gtk_main_quit();
            return G_SOURCE_REMOVE;
        }
    }
    if (!session->window->Connected()) {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    // Never left behind by the host, however it ends (the host sets this before the exec as well).
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_IGN);
    Utils::i18n_init();
    std::optional<PadScreen> size;
    if (argc > 1 && !(size = ParseSizeArgument(argv[1]))) return EXIT_BAD_ARGUMENT;
    PadWindow window(WINDOW_CHANNEL_FD);
    if (!window.Open(size)) return EXIT_NO_DISPLAY;
    const std::vector<uint8_t> ready =
        EncodeReady(static_cast<uint16_t>(window.Width()), static_cast<uint16_t>(window.Height()));
    if (send(WINDOW_CHANNEL_FD, ready.data(), ready.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ready.size()))
        return EXIT_BROKEN_CHANNEL;
    Session session{&window, {}, false};
    g_unix_fd_add(WINDOW_CHANNEL_FD, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), on_channel, &session);
    gtk_main();
    return session.broken ? EXIT_BROKEN_CHANNEL : 0;
}
