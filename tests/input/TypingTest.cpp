// What an application receives when the administrator types, on the user's keyboard us,ru under
// Xvfb: a window of the test's own reads the keys with XLookupString.
#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

#include "InputHandler.h"
#include "LogCapture.h"
#include "ScreenGlobals.h"
#include "WaitFor.h"
#include "XTestInjector.h"

// Xlib last: its macros (Bool, Status, CursorShape...) break Qt headers.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <xkbcommon/xkbcommon.h>

namespace {

// A key event as a browser sends it: what it types or its name, its code, its key code.
struct Key {
    const char* key;
    const char* code;
    int keyCode;
};

std::string keyMessage(const Key& k, bool down) {
    QString text = QStringLiteral(R"({"keyboardEvent":{"keyCode":%1,"down":%2)")
                       .arg(k.keyCode)
                       .arg(down ? "true" : "false");
    if (k.key != nullptr) {
        text += QStringLiteral(R"(,"key":"%1","code":"%2")").arg(k.key, k.code);
    }
    return (text + "}}").toStdString();
}

// Each character pressed and released, as a browser sends it; `codes` carries the US codes.
std::vector<std::string> typing(const QString& text, const char* const* codes = nullptr) {
    std::vector<std::string> messages;
    for (int i = 0; i < text.size(); ++i) {
        const QByteArray key = text.mid(i, 1).toUtf8();
        const Key k{key.constData(), "", codes != nullptr ? atoi(codes[i]) : 0};
        messages.push_back(keyMessage(k, true));
        messages.push_back(keyMessage(k, false));
    }
    return messages;
}

struct Typing : ::testing::Test {
    void SetUp() override {
        LogCapture::initLogger();
        if (d == nullptr) {
            d = XOpenDisplay(nullptr);
            w = d ? DefaultRootWindow(d) : 0;
        }
        ASSERT_NE(d, nullptr) << "these tests need an X display (Xvfb)";
        injector = std::make_unique<XTestInjector>(d);
        handler = std::make_unique<InputHandler>(*injector);
        app = XOpenDisplay(nullptr);
        ASSERT_NE(app, nullptr);
        window = XCreateSimpleWindow(app, DefaultRootWindow(app), 0, 0, 200, 100, 0, 0, 0);
        XSelectInput(app, window, KeyPressMask | StructureNotifyMask);
        XMapWindow(app, window);
        XEvent event;
        XWindowEvent(app, window, StructureNotifyMask, &event);  // mapped: focus may go to it
        XSetInputFocus(app, window, RevertToPointerRoot, CurrentTime);
        XSync(app, False);
    }
    void TearDown() override {
        layout("us");
        XCloseDisplay(app);
    }

    // Run while the test's own client is connected: Xvfb keeps the keymap only then.
    void layout(const QString& layouts, const QStringList& options = {}) {
        QStringList args{"-layout", layouts, "-option", ""};
        for (const QString& option : options) {
            args << "-option" << option;
        }
        ASSERT_EQ(QProcess::execute("setxkbmap", args), 0);
        XSync(app, False);
    }

    // The user's group and locks.
    void setUser(unsigned group, unsigned locks) {
        XkbLockGroup(app, XkbUseCoreKbd, group);
        XkbLockModifiers(app, XkbUseCoreKbd, LockMask | Mod2Mask, locks);
        XSync(app, False);
    }
    std::pair<unsigned, unsigned> user() {
        XkbStateRec state{};
        XkbGetState(app, XkbUseCoreKbd, &state);
        return {state.locked_group, state.locked_mods};
    }

    void send(const std::vector<std::string>& messages) {
        for (const std::string& message : messages) {
            handler->handleMessage(QString::fromStdString(message));
        }
        handler->endOfDrain();
    }

    // Everything typed so far, Ctrl+x as "^x". The agent's requests are all handled once its
    // round trip returns; the window's events are all queued once its own does.
    std::string received() {
        XSync(d, False);
        XSync(app, False);
        std::string text;
        while (XPending(app) > 0) {
            XEvent event;
            XNextEvent(app, &event);
            if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
            } else if (event.type == KeyPress) {
                KeySym keysym = NoSymbol;
                char ignored[8];
                XLookupString(&event.xkey, ignored, sizeof(ignored), &keysym, nullptr);
                char utf8[8] = "";
                xkb_keysym_to_utf8(uint32_t(keysym), utf8, sizeof(utf8));
                text += std::string((event.xkey.state & ControlMask) ? "^" : "") + utf8;
            }
        }
        return text;
    }

    Display* app = nullptr;
    Window window = 0;
    std::unique_ptr<XTestInjector> injector;
    std::unique_ptr<InputHandler> handler;
};

const char* const kChromeCodes[] = {"65", "189", "66", "187", "67", "186", "68"};

TEST_F(Typing, WhatTheApplicationReceives) {
    const Key altGr{"AltGraph", "AltRight", 225}, euro{"\u20ac", "KeyE", 69},
        ctrl{"Control", "ControlLeft", 17}, ruC{"\u0441", "KeyC", 67}, numpad1{"1", "Numpad1", 97},
        numpad2{nullptr, nullptr, 98};
    // The keys pressed in order, then released in order; a null key starts the next chord.
    const auto press = [](std::initializer_list<Key> keys) {
        std::vector<std::string> messages, ups;
        for (const Key& k : keys) {
            if (k.keyCode == 0) {
                messages.insert(messages.end(), ups.begin(), ups.end());
                ups.clear();
                continue;
            }
            messages.push_back(keyMessage(k, true));
            ups.push_back(keyMessage(k, false));
        }
        messages.insert(messages.end(), ups.begin(), ups.end());
        return messages;
    };
    const Key next{nullptr, nullptr, 0}, minus{nullptr, nullptr, 189},
        semicolon{nullptr, nullptr, 186};
    const struct {
        const char* what;
        const char* layouts;
        QStringList options;
        unsigned group;
        unsigned locks;
        std::vector<std::string> messages;
        const char* received;
    } rows[] = {
        {"Russian group",
         "us,ru",
         {},
         1,
         0,
         typing("Passw0rd! user@host.ru"),
         "Passw0rd! user@host.ru"},
        {"Russian typed, US group", "us,ru", {}, 0, 0, typing("Привет мир"), "Привет мир"},
        {"Caps Lock on", "us,ru", {}, 0, LockMask, typing("Passw0rd!"), "Passw0rd!"},
        {"Chrome's codes", "us,ru", {}, 0, 0, typing("a-b=c;d", kChromeCodes), "a-b=c;d"},
        {"codes alone", "us,ru", {}, 1, 0, press({minus, next, semicolon}), "-ж"},
        {"AltGr+E with €",
         "us,ru",
         {"lv3:ralt_switch", "eurosign:e"},
         0,
         0,
         press({altGr, euro}),
         "€"},
        {"€ on no key", "us,ru", {}, 1, 0, press({altGr, euro}), "€"},
        {"Cyrillic, US only", "us", {}, 0, LockMask, typing("ж"), "ж"},
        {"Ctrl+C, Russian group", "us,ru", {}, 1, 0, press({ctrl, ruC}), "^c"},
        {"keypad, Num Lock off", "us,ru", {}, 0, 0, press({numpad1, next, numpad2}), "12"},
    };
    for (const auto& row : rows) {
        layout(row.layouts, row.options);
        setUser(row.group, row.locks);
        received();
        send(row.messages);
        EXPECT_EQ(received(), row.received) << row.what;
        EXPECT_EQ(user(), std::make_pair(row.group, row.locks)) << row.what;
    }
    handler->releaseAll();
}

// Held past the X server's repeat delay on a slow network: still one character.
TEST_F(Typing, AHeldKeyDoesNotRepeat) {
    layout("us,ru");
    received();
    // A character, and a key by its code alone.
    const Key x{"x", "KeyX", 88}, y{nullptr, nullptr, 89};
    send({keyMessage(x, true), keyMessage(y, true)});
    std::string got;
    EXPECT_FALSE(waitFor([&] { return (got += received()).size() > 2; }, 2000)) << got;
    send({keyMessage(x, false), keyMessage(y, false)});
    EXPECT_EQ(got + received(), "xy");
    EXPECT_FALSE(handler->anythingPressed());
}

}  // namespace
