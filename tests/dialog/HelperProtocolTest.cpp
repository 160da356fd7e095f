#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "UI/HelperProtocol.h"

namespace cw::ui::protocol {
namespace {

Request decodedAgain(const Request& request) {
  const std::string line = encode(request);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one message, one line";
  const auto decoded = decodeRequest(std::string_view(line).substr(0, line.size() - 1));
  EXPECT_TRUE(decoded.has_value()) << line;
  return decoded.value_or(Request{});
}

Reply decodedAgain(const Reply& reply) {
  const std::string line = encode(reply);
  const auto decoded = decodeReply(std::string_view(line).substr(0, line.size() - 1));
  EXPECT_TRUE(decoded.has_value()) << line;
  return decoded.value_or(Reply{});
}

TEST(HelperProtocol, RequestsSurviveTheRoundTrip) {
  Request create;
  create.op = Request::Op::Create;
  create.control = 7;
  create.kind = ControlKind::Button;
  create.parent = 3;
  create.frame = makeRect(310.5, 20, 90, 32);
  const Request created = decodedAgain(create);
  EXPECT_EQ(created.op, Request::Op::Create);
  EXPECT_EQ(created.control, 7u);
  EXPECT_EQ(created.kind, ControlKind::Button);
  EXPECT_EQ(created.parent, 3u);
  EXPECT_EQ(created.frame, create.frame);

  Request text;
  text.op = Request::Op::SetText;
  text.control = 9;
  text.text = "Envoyer le rapport \"maintenant\"\n\t\\ \xE2\x9C\x93";
  EXPECT_EQ(decodedAgain(text).text, text.text);

  text.op = Request::Op::AppendText;
  EXPECT_EQ(decodedAgain(text).op, Request::Op::AppendText);
  EXPECT_EQ(decodedAgain(text).text, text.text);

  Request hide;
  hide.op = Request::Op::SetHidden;
  hide.control = 8;
  hide.hidden = true;
  EXPECT_TRUE(decodedAgain(hide).hidden);
  hide.hidden = false;
  EXPECT_FALSE(decodedAgain(hide).hidden);

  Request progress;
  progress.op = Request::Op::ShowProgressPanel;
  progress.control = 12;
  progress.progressPanel = ProgressPanel{"Sending", "Uploading \u00e2\u0080\u00a6", "Stop"};
  EXPECT_EQ(decodedAgain(progress).progressPanel, progress.progressPanel);

  Request area = create;
  area.kind = ControlKind::TextView;
  EXPECT_EQ(decodedAgain(area).kind, ControlKind::TextView);

  Request key;
  key.op = Request::Op::SetKeyEquivalent;
  key.control = 9;
  key.text = "\x1b";
  EXPECT_EQ(decodedAgain(key).text, "\x1b");

  Request color;
  color.op = Request::Op::SetTextColor;
  color.control = 4;
  color.color = Color::redColor();
  EXPECT_EQ(decodedAgain(color).color, Color::redColor());

  Request style;
  style.op = Request::Op::SetTextStyle;
  style.control = 4;
  style.bold = true;
  style.pointSize = 13;
  style.wraps = true;
  const Request styled = decodedAgain(style);
  EXPECT_TRUE(styled.bold);
  EXPECT_EQ(styled.pointSize, 13);
  EXPECT_TRUE(styled.wraps);

  Request measure;
  measure.op = Request::Op::Measure;
  measure.control = 5;
  measure.sequence = 42;
  measure.boundsWidth = 380;
  const Request measured = decodedAgain(measure);
  EXPECT_EQ(measured.sequence, 42u);
  EXPECT_EQ(measured.boundsWidth, 380);
  measure.boundsWidth.reset();
  EXPECT_FALSE(decodedAgain(measure).boundsWidth.has_value());

  for (const auto op : {Request::Op::Destroy, Request::Op::Show, Request::Op::OrderOut, Request::Op::SetFrame}) {
    Request plain;
    plain.op = op;
    plain.control = 11;
    plain.frame = makeRect(1, 2, 3, 4);
    const Request decoded = decodedAgain(plain);
    EXPECT_EQ(decoded.op, op);
    EXPECT_EQ(decoded.control, 11u);
  }
  Request activate;
  activate.op = Request::Op::Activate;
  EXPECT_EQ(decodedAgain(activate).op, Request::Op::Activate);

  Request panel;
  panel.op = Request::Op::ShowMessagePanel;
  panel.control = 12;
  panel.panel =
      MessagePanel{"Mail \"Program\"", "Line one\nline two\t\\ \xE2\x9C\x93", "https://paste.example/a?b=c&d#e", "OK"};
  const Request shown = decodedAgain(panel);
  EXPECT_EQ(shown.op, Request::Op::ShowMessagePanel);
  EXPECT_EQ(shown.control, 12u);
  EXPECT_EQ(shown.panel, panel.panel);
}

TEST(HelperProtocol, RepliesSurviveTheRoundTrip) {
  Reply pressed;
  pressed.type = Reply::Type::ButtonPressed;
  pressed.control = 12;
  EXPECT_EQ(decodedAgain(pressed).control, 12u);

  Reply closed;
  closed.type = Reply::Type::WindowClosed;
  closed.control = 1;
  EXPECT_EQ(decodedAgain(closed).type, Reply::Type::WindowClosed);

  Reply size;
  size.type = Reply::Type::Measured;
  size.sequence = 3;
  size.size = Size{66, 34};
  const Reply sized = decodedAgain(size);
  EXPECT_EQ(sized.sequence, 3u);
  EXPECT_EQ(sized.size, (Size{66, 34}));

  Reply failed;
  failed.type = Reply::Type::Failed;
  failed.reason = "cannot open display";
  EXPECT_EQ(decodedAgain(failed).reason, "cannot open display");
}

TEST(HelperProtocol, TextThatIsNotUtf8IsSentReplacedNotDropped) {
  Request text;
  text.op = Request::Op::SetText;
  text.control = 2;
  text.text = std::string("ab\xff\xfe") + "cd";
  const Request decoded = decodedAgain(text);
  EXPECT_EQ(decoded.text.substr(0, 2), "ab");
  EXPECT_EQ(decoded.text.substr(decoded.text.size() - 2), "cd");
  EXPECT_NE(decoded.text, text.text);
}

TEST(HelperProtocol, NumbersThatAreNotFiniteGoOutAsZero) {
  Request frame;
  frame.op = Request::Op::SetFrame;
  frame.control = 2;
  frame.frame = makeRect(std::numeric_limits<double>::quiet_NaN(), 1, std::numeric_limits<double>::infinity(), 4);
  EXPECT_EQ(decodedAgain(frame).frame, makeRect(0, 1, 0, 4));

  Request measure;
  measure.op = Request::Op::Measure;
  measure.control = 2;
  measure.sequence = 1;
  measure.boundsWidth = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(decodedAgain(measure).boundsWidth.has_value()) << "an infinite width is no bound";
}

TEST(HelperProtocol, MalformedMessagesDecodeToAbsent) {
  for (const char* line : {
           "",
           "garbage",
           "{",
           "[1,2,3]",
           "\"create\"",
           "{}",
           R"({"op":"explode","id":1})",
           R"({"op":7,"id":1})",
           R"({"op":"text","id":"1","text":"x"})",
           R"({"op":"text","id":-1,"text":"x"})",
           R"({"op":"text","id":1.5,"text":"x"})",
           R"({"op":"text","id":1})",
           R"({"op":"text","id":1,"text":5})",
           R"({"op":"create","id":1,"kind":"button","parent":0,"frame":[1,2,3]})",
           R"({"op":"create","id":1,"kind":"button","parent":0,"frame":[1,2,3,"4"]})",
           R"({"op":"create","id":1,"kind":"slider","parent":0,"frame":[1,2,3,4]})",
           R"({"op":"create","id":1,"kind":"button","frame":[1,2,3,4]})",
           R"({"op":"color","id":1,"rgba":[1,0,0]})",
           R"({"op":"style","id":1,"bold":1,"size":12,"wraps":false})",
           R"({"op":"measure","id":1})",
           R"({"op":"measure","id":1,"seq":2,"width":"wide"})",
           R"({"op":"frame","id":1,"frame":[1e999,0,1,1]})",
           R"({"op":"messagePanel","id":1,"title":"t","text":"m","selectable":"a"})",
           R"({"op":"messagePanel","id":1,"title":"t","text":"m","selectable":null,"button":"OK"})",
           R"({"op":"messagePanel","title":"t","text":"m","selectable":"a","button":"OK"})",
       }) {
    EXPECT_FALSE(decodeRequest(line).has_value()) << line;
  }
  for (const char* line : {
           "",
           "\x01\x02\x03",
           R"({"ev":"pressed"})",
           R"({"ev":"pressed","id":null})",
           R"({"ev":"size","seq":1,"width":10})",
           R"({"ev":"size","seq":1,"width":-10,"height":5})",
           R"({"ev":"sized","seq":1,"width":10,"height":5})",
           R"({"op":"show","id":1})",
       }) {
    EXPECT_FALSE(decodeReply(line).has_value()) << line;
  }
}

TEST(LineBuffer, CutsAStreamIntoLinesWhereverTheChunksEnd) {
  LineBuffer lines;
  lines.append("{\"a\":");
  EXPECT_FALSE(lines.nextLine().has_value());
  lines.append("1}\n{\"b\":2}\n{\"c\"");
  EXPECT_EQ(lines.nextLine(), "{\"a\":1}");
  EXPECT_EQ(lines.nextLine(), "{\"b\":2}");
  EXPECT_FALSE(lines.nextLine().has_value());
  lines.append(":3}\n\n");
  EXPECT_EQ(lines.nextLine(), "{\"c\":3}");
  EXPECT_EQ(lines.nextLine(), "");
  EXPECT_FALSE(lines.nextLine().has_value());
  EXPECT_EQ(lines.overlongLines(), 0u);
}

TEST(LineBuffer, DropsOverlongLinesAndKeepsWhatFollows) {
  LineBuffer lines;
  // In one piece, newline included.
  lines.append(std::string(kMaxLineLength + 1, 'x') + "\nnext\n");
  EXPECT_EQ(lines.nextLine(), "next");
  EXPECT_EQ(lines.overlongLines(), 1u);

  // Arriving in pieces without an end in sight: memory stays bounded and the
  // rest of the line is skipped when it comes.
  for (int i = 0; i < 5; ++i) {
    lines.append(std::string(kMaxLineLength / 2, 'y'));
    EXPECT_FALSE(lines.nextLine().has_value());
  }
  lines.append("yyyy\nafter\n");
  EXPECT_EQ(lines.nextLine(), "after");
  EXPECT_EQ(lines.overlongLines(), 2u);

  // Exactly at the limit is still a line.
  lines.append(std::string(kMaxLineLength, 'z') + "\n");
  const auto longest = lines.nextLine();
  ASSERT_TRUE(longest.has_value());
  EXPECT_EQ(longest->size(), kMaxLineLength);
}

}  // namespace
}  // namespace cw::ui::protocol
