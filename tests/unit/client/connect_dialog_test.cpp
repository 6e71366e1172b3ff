#include "client/connect_dialog.h"

#include <gtest/gtest.h>

#include "fakes/window.h"

namespace nolv {
namespace {

struct DialogFixture {
  std::shared_ptr<FakeWindow> window;
  FakeSurface* surface = nullptr;
  std::unique_ptr<ConnectDialog> dialog;

  explicit DialogFixture(double scale = 1.0) {
    window = std::make_shared<FakeWindow>(WindowId{7}, ConnectDialog::window_attributes(scale));
    auto created = ConnectDialog::create(window, scale);
    EXPECT_TRUE(created.ok());
    dialog = std::move(*created);
    surface = window->surface;
  }
  DialogOutcome key(LogicalKey k) {
    return dialog->handle_event(KeyboardInput{std::move(k), 0, true, false, false});
  }
  DialogOutcome type(std::string_view text) {
    DialogOutcome last = DialogKeepGoing{};
    for (char c : text) last = key(CharacterKey{std::string(1, c)});
    return last;
  }
  DialogOutcome click(std::int32_t x, std::int32_t y) {
    (void)dialog->handle_event(CursorMoved{x + 0.7, y + 0.2});
    return dialog->handle_event(MouseInput{{MouseButtonKind::Left, 0}, true});
  }
};

std::string url_of(const DialogOutcome& outcome) {
  const auto* submit = std::get_if<DialogSubmit>(&outcome);
  return submit != nullptr ? submit->request.target : "";
}

TEST(ConnectDialog, GeometryAtScaleOne) {
  DialogFixture f;
  EXPECT_EQ(f.window->inner_size(), (PhysicalSize{420, 270}));
  EXPECT_EQ(f.dialog->button_rect(1), (DialogRect{324, 228, 80, 26}));
  EXPECT_EQ(f.dialog->button_rect(0), (DialogRect{232, 228, 80, 26}));
  EXPECT_EQ(f.dialog->field_rect(2), (DialogRect{96, 108, 308, 24}));
  EXPECT_EQ(f.dialog->protocol_item_rect(1), (DialogRect{96, 90, 308, 22}));
  DialogFixture big(1.5);
  EXPECT_EQ(big.window->inner_size(), (PhysicalSize{630, 405}));
  EXPECT_EQ(big.dialog->field_rect(1), (DialogRect{144, 114, 462, 36}));
}

TEST(ConnectDialog, SubmitBuildsTheTargetUrl) {
  struct Case {
    std::size_t protocol;
    std::string host, port, user;
    std::string url;
  } cases[] = {
      {0, "::1", "10000", "", "tcp://[::1]:10000/"}, {0, "  box  ", "+22", "", "tcp://box:22/"},
      {4, "box", "22", "me", "ssh://me@box:22/"},    {0, "box", "22", "me", "tcp://box:22/"},
      {3, "[::1]", "443", "", "wss://[::1]:443/"},   {4, "box", "22", "   ", "ssh://box:22/"},
  };
  for (const auto& c : cases) {
    DialogFixture f;
    f.dialog->set_protocol(c.protocol);
    f.dialog->host = c.host;
    f.dialog->port = c.port;
    f.dialog->username = c.user;
    auto request = f.dialog->submit();
    ASSERT_TRUE(request) << c.url;
    EXPECT_EQ(request->target, c.url);
    EXPECT_EQ(request->username, non_empty_trimmed(c.user));
    EXPECT_EQ(request->password, std::nullopt);
  }
}

TEST(ConnectDialog, SubmitRefusesBadInputAndFocusesTheField) {
  struct Case {
    std::string host, port, message;
    DialogFocus focus;
  } cases[] = {
      {"  ", "1", "please enter a hostname or IP address", DialogFocus::Host},
      {"a@b", "1", "the hostname contains invalid characters", DialogFocus::Host},
      {"a/b", "1", "the hostname contains invalid characters", DialogFocus::Host},
      {"a b", "1", "the hostname contains invalid characters", DialogFocus::Host},
      {"h", "0", "the port must be a number between 1 and 65535", DialogFocus::Port},
      {"h", "65536", "the port must be a number between 1 and 65535", DialogFocus::Port},
      {"h", "-1", "the port must be a number between 1 and 65535", DialogFocus::Port},
      {"h", "", "the port must be a number between 1 and 65535", DialogFocus::Port},
  };
  for (const auto& c : cases) {
    DialogFixture f;
    f.dialog->host = c.host;
    f.dialog->port = c.port;
    f.dialog->move_focus(4);
    EXPECT_FALSE(f.dialog->submit());
    const auto* error = std::get_if<StatusError>(&f.dialog->status());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->message, c.message);
    EXPECT_EQ(f.dialog->focus(), c.focus);
  }
}

TEST(ConnectDialog, TypingRules) {
  DialogFixture f;
  EXPECT_EQ(f.dialog->focus(), DialogFocus::Host);
  f.type("box");
  (void)f.key(NamedKey::Tab);
  EXPECT_EQ(f.dialog->focus(), DialogFocus::Port);
  (void)f.key(NamedKey::Backspace);
  f.type("x9");  // the letter is refused, the sixth digit too
  EXPECT_EQ(f.dialog->port, "10009");
  (void)f.key(NamedKey::Tab);
  f.type("u\x01");
  (void)f.key(CharacterKey{"\xc2\x85"});  // a C1 control
  (void)f.key(NamedKey::Space);
  EXPECT_EQ(f.dialog->username, "u ");
  (void)f.key(NamedKey::ArrowUp);  // moves the focus back while the list is closed
  EXPECT_EQ(f.dialog->focus(), DialogFocus::Port);
  EXPECT_EQ(url_of(f.key(NamedKey::Enter)), "tcp://box:10009/");
}

TEST(ConnectDialog, FieldLengthIsBounded) {
  DialogFixture f;
  f.type(std::string(200, 'h'));
  EXPECT_EQ(f.dialog->host.size(), 128u);
}

TEST(ConnectDialog, FocusOrderAndProtocolList) {
  DialogFixture f;
  (void)f.dialog->handle_event(ModifiersChanged{kModifierShift});
  (void)f.key(NamedKey::Tab);
  EXPECT_EQ(f.dialog->focus(), DialogFocus::Protocol);
  (void)f.dialog->handle_event(ModifiersChanged{0});
  for (int i = 0; i < 6; ++i) (void)f.key(NamedKey::Tab);
  EXPECT_EQ(f.dialog->focus(), DialogFocus::Connect);
  (void)f.key(NamedKey::Tab);
  EXPECT_EQ(f.dialog->focus(), DialogFocus::Protocol);
  (void)f.key(NamedKey::ArrowUp);  // on the protocol row: wraps to ssh, port follows
  EXPECT_EQ(f.dialog->protocol(), 4u);
  EXPECT_EQ(f.dialog->port, "22");
  (void)f.key(NamedKey::Space);
  EXPECT_TRUE(f.dialog->protocol_list_open());
  const DialogRect ws = f.dialog->protocol_item_rect(2);
  (void)f.click(ws.x + 1, ws.y + 1);
  EXPECT_FALSE(f.dialog->protocol_list_open());
  EXPECT_EQ(f.dialog->protocol(), 2u);
  EXPECT_EQ(f.dialog->port, "10000");
  (void)f.key(NamedKey::Escape);  // list closed: Escape cancels
  EXPECT_TRUE(std::holds_alternative<DialogCancel>(f.key(NamedKey::Escape)));
}

TEST(ConnectDialog, ClicksOnButtonsAndWhileConnecting) {
  DialogFixture f;
  f.dialog->host = "h";
  const DialogRect connect = f.dialog->button_rect(1);
  EXPECT_EQ(url_of(f.click(connect.x, connect.y)), "tcp://h:10000/");
  EXPECT_EQ(f.dialog->focus(), DialogFocus::Connect);
  f.dialog->set_connecting("tcp://h:10000/");
  EXPECT_TRUE(std::holds_alternative<DialogKeepGoing>(f.click(connect.x, connect.y)));
  EXPECT_TRUE(std::holds_alternative<DialogKeepGoing>(f.key(NamedKey::Enter)));
  f.type("zz");
  EXPECT_EQ(f.dialog->host, "h");
  const DialogRect cancel = f.dialog->button_rect(0);
  EXPECT_TRUE(std::holds_alternative<DialogCancel>(f.click(cancel.x + 79, cancel.y + 25)));
  EXPECT_TRUE(std::holds_alternative<DialogCancel>(f.dialog->handle_event(CloseRequested{})));
}

TEST(ConnectDialog, RedrawPresentsTheFrameAndShowsErrors) {
  DialogFixture f;
  f.dialog->redraw();
  ASSERT_EQ(f.surface->presents.size(), 1u);
  EXPECT_EQ(f.surface->pixels[0], 0x202020u);
  const DialogRect host = f.dialog->field_rect(1);
  // The focused Host row has the focus border.
  EXPECT_EQ(f.surface->pixels[std::size_t(host.y) * 420 + std::size_t(host.x) + 5], 0x599EFFu);
  f.dialog->set_error("boom");
  const auto& px = f.surface->pixels;
  EXPECT_NE(std::find(px.begin(), px.end(), 0xFF6B6Bu), px.end());
  // A buffer of another length skips the frame.
  f.surface->buffer_size_override = PhysicalSize{10, 10};
  f.dialog->redraw();
  EXPECT_EQ(f.surface->presents.size(), 2u);
}

TEST(ConnectDialog, LongHostKeepsTheCaretInsideTheRow) {
  DialogFixture f;
  f.type(std::string(100, 'w'));
  const DialogRect host = f.dialog->field_rect(1);
  const auto& px = f.dialog->pixels();
  // Nothing of the text row's colours spills right of the row.
  for (std::int32_t y = host.y; y < host.y + host.height; ++y) {
    for (std::int32_t x = host.x + host.width; x < 420; ++x) {
      EXPECT_EQ(px[std::size_t(y) * 420 + std::size_t(x)], 0x202020u) << x << "," << y;
    }
  }
}

TEST(ConnectDialog, Helpers) {
  EXPECT_EQ(truncate_with_ellipsis("abcdef", 6), "abcdef");
  EXPECT_EQ(truncate_with_ellipsis("abcdefg", 6), "abc...");
  EXPECT_EQ(truncate_with_ellipsis("abcdefg", 3), "...");
  EXPECT_EQ(truncate_with_ellipsis("abcdefg", 0), "...");
  EXPECT_EQ(non_empty_trimmed("  a b "), std::optional<std::string>("a b"));
  EXPECT_EQ(non_empty_trimmed("   "), std::nullopt);
}

}  // namespace
}  // namespace nolv
