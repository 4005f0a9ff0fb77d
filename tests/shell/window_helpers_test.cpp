// What every window runs when it loads: program folder, colour step, icon,
// path boxes, pointer picture and pointer rule, skin.
#include "shell/window_helpers.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#endif

#include "base/program_folder.h"
#include "data/file/utf8_path.h"
#include "shell/pointer.h"
#include "shell/skin.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// A window with a label, a text box, two push buttons and a frame holding an
// option button and a check box.
struct TestWindow : testing_support::WithApplication {
  TestWindow() {
    auto* layout = new QVBoxLayout(&window);
    tool_button->setText("...");
    auto* frame_layout = new QVBoxLayout(frame);
    frame_layout->addWidget(option);
    frame_layout->addWidget(check);
    for (QWidget* w : std::initializer_list<QWidget*>{label, text, button, tool_button, frame})
      layout->addWidget(w);
    window.resize(300, 300);
    window.show();
  }

  // The mouse entering `over` and moving over it (the window: its corner, the
  // background), reported to that widget as Qt does.
  void MoveOver(QWidget* over, bool enter = true) {
    const QPoint local = over == &window ? QPoint(1, 1) : over->rect().center();
    QEnterEvent entered(local, local, over->mapToGlobal(local));
    if (enter) QApplication::sendEvent(over, &entered);
    QMouseEvent move(QEvent::MouseMove, local, over->mapToGlobal(local), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(over, &move);
  }
  Qt::CursorShape shape() const { return window.cursor().shape(); }

  QWidget window;
  QLabel* label = new QLabel("File To Load:");
  QLineEdit* text = new QLineEdit;
  QPushButton* button = new QPushButton("Load");
  QToolButton* tool_button = new QToolButton;
  QGroupBox* frame = new QGroupBox("Data source");
  QRadioButton* option = new QRadioButton("DBC");
  QCheckBox* check = new QCheckBox("all");
};

bool PaintedButtonFace(const QWidget& widget) {
  return widget.autoFillBackground() &&
         widget.palette().color(QPalette::Window) == quillon::ButtonFaceColour();
}

// A cursor file of one 32 x 32 monochrome picture with the hot spot (hx, hy):
// a black top row and a white left column, the rest transparent. Rows are
// stored bottom-up, the colour rows first, then the AND mask.
std::string MonochromeCursor(int hx, int hy) {
  std::string f;
  auto u16 = [&](int v) {
    f += static_cast<char>(v & 0xFF);
    f += static_cast<char>((v >> 8) & 0xFF);
  };
  auto u32 = [&](uint32_t v) {
    u16(static_cast<int>(v & 0xFFFF));
    u16(static_cast<int>(v >> 16));
  };
  u16(0);
  u16(2);
  u16(1);  // a cursor file with one picture
  f += std::string("\x20\x20\x02\x00", 4);
  u16(hx);
  u16(hy);
  u32(40 + 8 + 256);
  u32(22);
  u32(40);
  u32(32);
  u32(64);
  u16(1);
  u16(1);                                           // 32 x 32, two rows of pictures, 1 bit
  for (int i = 0; i < 6; ++i) u32(i == 4 ? 2 : 0);  // two colours used
  u32(0x000000);
  u32(0xFFFFFF);                                                       // colour table: black, white
  for (int row = 31; row >= 0; --row) u32(0x80);                       // column 0 white, others black
  for (int row = 31; row >= 0; --row) u32(row == 0 ? 0 : 0xFFFFFF7F);  // opaque: top row, column 0
  return f;
}

}  // namespace

TEST(ProgramFolderTest, IsTheRunningProgramsFolderAndTakesFilesWithOneSeparator) {
  const std::string folder = quillon::ProgramFolder();
#ifdef _WIN32
  // The program as it was started, whatever the working folder's drive.
  const fs::path program = fs::canonical(fs::absolute(::testing::internal::GetArgvs().front()));
  EXPECT_EQ(fs::canonical(fs::path(folder)), program.parent_path());
  EXPECT_NE(folder.back(), '\\');
  EXPECT_EQ(quillon::BesideFolder("C:\\Quillon", quillon::kSkinFile), "C:\\Quillon\\x\\o.cjs");
  EXPECT_EQ(quillon::BesideFolder("C:\\", quillon::kPointerFile), "C:\\HAND-M.CUR");
  EXPECT_EQ(quillon::BesideFolder("C:\\Programme\\Quillon", quillon::kSamplesFolder),
            "C:\\Programme\\Quillon\\Samples");
#else
  EXPECT_EQ(fs::path(folder), fs::canonical("/proc/self/exe").parent_path());
  EXPECT_NE(folder.back(), '/');
  EXPECT_EQ(quillon::BesideFolder("/opt/quillon", quillon::kSkinFile), "/opt/quillon/x/o.cjs");
  EXPECT_EQ(quillon::BesideFolder("/", quillon::kPointerFile), "/HAND-M.CUR");
#endif
}

TEST(ColourStepTest, PaintsTheWindowAndItsLabelsFramesOptionsAndChecksOnly) {
  TestWindow w;
  quillon::ResetBackColors(w.window);
  for (QWidget* painted : std::initializer_list<QWidget*>{&w.window, w.label, w.frame, w.option, w.check}) {
    EXPECT_TRUE(PaintedButtonFace(*painted)) << painted->metaObject()->className();
  }
  EXPECT_FALSE(w.button->autoFillBackground());
  EXPECT_FALSE(w.text->autoFillBackground());
}

TEST(WindowHelpersTest, IconIsCompiledInAndPathBoxesSelectAllOnFocus) {
  TestWindow w;
  const QIcon icon = quillon::ApplicationIcon();
  EXPECT_EQ(icon.availableSizes().size(), 4);
  EXPECT_EQ(icon.pixmap(256, 256).width(), 256);

  w.text->setText("/data/tables");
  quillon::SelectAllOnFocus(*w.text);
  QFocusEvent focus(QEvent::FocusIn, Qt::MouseFocusReason);
  QApplication::sendEvent(w.text, &focus);
  QApplication::processEvents();
  EXPECT_EQ(w.text->selectedText(), "/data/tables");
}

TEST(CursorFileTest, ReadsAMonochromePictureRightSideUpAndRefusesOtherFiles) {
  TempDir dir;
  WriteFileBytes(dir.Sub("HAND-M.CUR"), MonochromeCursor(5, 9));
  const quillon::CursorPicture picture = quillon::ReadCursorFile(dir.Sub("HAND-M.CUR"));
  EXPECT_EQ(picture.hot_spot, QPoint(5, 9));
  ASSERT_EQ(picture.image.size(), QSize(32, 32));
  EXPECT_EQ(picture.image.pixel(10, 0), qRgba(0, 0, 0, 255));
  EXPECT_EQ(picture.image.pixel(0, 20), qRgba(255, 255, 255, 255));
  EXPECT_EQ(qAlpha(picture.image.pixel(10, 20)), 0);

  std::string icon = MonochromeCursor(0, 0);
  icon[2] = 1;  // an icon file, not a cursor
  WriteFileBytes(dir.Sub("icon.cur"), icon);
  WriteFileBytes(dir.Sub("short.cur"), MonochromeCursor(0, 0).substr(0, 100));
  for (const char* name : {"icon.cur", "short.cur"}) {
    EXPECT_THROW(quillon::ReadCursorFile(dir.Sub(name)), std::runtime_error) << name;
  }
}

TEST(PointerRuleTest, CustomPointerOverPushButtonsDefaultElsewhere) {
  TestWindow w;
  TempDir dir;
  auto* rule = new quillon::PointerRule(w.window);
  rule->LoadPicture(dir.Sub("HAND-M.CUR"));  // no file: the pointing hand
  EXPECT_FALSE(rule->has_picture());

  const std::pair<QWidget*, Qt::CursorShape> moves[] = {
      {w.button, Qt::PointingHandCursor},
      {w.label, Qt::ArrowCursor},
      {w.tool_button, Qt::PointingHandCursor},
      {&w.window, Qt::ArrowCursor},
      {w.option, Qt::ArrowCursor},
      {w.text, Qt::ArrowCursor},
  };
  for (const auto& [over, shape] : moves) {
    w.MoveOver(over);
    EXPECT_EQ(w.shape(), shape) << over->metaObject()->className();
  }

  WriteFileBytes(dir.Sub("HAND-M.CUR"), MonochromeCursor(6, 1));
  rule->LoadPicture(dir.Sub("HAND-M.CUR"));
  w.MoveOver(w.button);
  EXPECT_EQ(w.shape(), Qt::BitmapCursor);
  EXPECT_EQ(w.window.cursor().hotSpot(), QPoint(6, 1));

  // Over a control the window leaves alone, the pointer stays as it was.
  rule->LeaveUnchangedOver(*w.text);
  w.MoveOver(w.text);
  EXPECT_EQ(w.shape(), Qt::BitmapCursor);
}

TEST(PointerRuleTest, TheBusyPointerStaysWhereverTheMouseGoes) {
  TestWindow w;
  new quillon::PointerRule(w.window);
  quillon::SetBusyPointer(w.window, true);
  w.MoveOver(w.label);
  w.MoveOver(w.button);
  EXPECT_EQ(w.shape(), Qt::WaitCursor);
  // Once the busy pointer has gone, the next move over the button counts.
  quillon::SetBusyPointer(w.window, false);
  EXPECT_FALSE(quillon::IsBusyPointer(w.window));
  w.MoveOver(w.button, /*enter=*/false);
  EXPECT_EQ(w.shape(), Qt::PointingHandCursor);
}

class SkinTest : public ::testing::Test {
 protected:
  ~SkinTest() override { qApp->setStyleSheet(QString()); }
  TestWindow w_;
  TempDir dir_;
  quillon::Skin skin_;
};

TEST_F(SkinTest, WithoutAVisibleSkinFileTheWindowKeepsItsDesignedLook) {
  EXPECT_FALSE(quillon::ApplySkin(w_.window, skin_, dir_.path().string()));
  fs::create_directories(dir_.path() / "x" / "o.cjs");  // a folder is not a skin
  EXPECT_FALSE(quillon::ApplySkin(w_.window, skin_, dir_.path().string()));
  EXPECT_FALSE(w_.label->autoFillBackground());
  EXPECT_TRUE(qApp->styleSheet().isEmpty());
  WriteFileBytes(dir_.Sub(".o.cjs"), "x");
#ifdef _WIN32
  // A hidden file is one with the attribute, whatever its name.
  SetFileAttributesW(fox::WideFromUtf8(dir_.Sub(".o.cjs")).c_str(), FILE_ATTRIBUTE_HIDDEN);
#endif
  EXPECT_FALSE(quillon::IsVisiblePlainFile(dir_.Sub(".o.cjs")));  // hidden
}

// The program folder's name may hold any character: the skin beside the
// program is found all the same.
TEST_F(SkinTest, TheSkinFilePaintsButtonFaceThenStylesEveryWindow) {
  const fs::path program = fs::path(dir_.path()) / fox::PathFromUtf8("Programme Grüße 東京");
  fs::create_directories(program / "x");
  const std::string folder = fox::Utf8FromPath(program);
  std::ofstream(program / "x" / "o.cjs", std::ios::binary) << "QPushButton { color: #123456; }";
  EXPECT_TRUE(quillon::ApplySkin(w_.window, skin_, folder));
  EXPECT_TRUE(PaintedButtonFace(*w_.label));
  QPushButton later("Later");  // a window opened afterwards takes the skin too
  later.ensurePolished();
  EXPECT_EQ(later.palette().color(QPalette::ButtonText), QColor("#123456"));
}
