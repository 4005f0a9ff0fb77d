// The steps every window runs when it loads: program folder, colour step,
// application icon, pointer picture and pointer rule, skin.
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
#include <QWidget>
#include <filesystem>
#include <memory>
#include <string>

#include "shell/pointer.h"
#include "shell/program_folder.h"
#include "shell/skin.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testing_support::TempDir;

namespace {

// A window like the Load Sets window: labels, a text box, push buttons, and a
// frame holding an option button and a check box.
struct WithApplication {
  WithApplication() { testing_support::EnsureApplication(); }
};

struct TestWindow : WithApplication {
  TestWindow() {
    auto* layout = new QVBoxLayout(&window);
    label = new QLabel("File To Load:");
    text = new QLineEdit;
    button = new QPushButton("Load");
    tool_button = new QToolButton;
    tool_button->setText("...");
    frame = new QGroupBox("Data source");
    option = new QRadioButton("DBC", frame);
    check = new QCheckBox("all", frame);
    auto* frame_layout = new QVBoxLayout(frame);
    frame_layout->addWidget(option);
    frame_layout->addWidget(check);
    for (QWidget* w : {static_cast<QWidget*>(label), static_cast<QWidget*>(text), static_cast<QWidget*>(button),
                       static_cast<QWidget*>(tool_button), static_cast<QWidget*>(frame)}) {
      layout->addWidget(w);
    }
    window.resize(300, 300);
    window.show();
  }

  // The mouse entering `over` and moving to its centre (for the window
  // itself: to its corner, the background), as Qt reports it to the widget
  // under the mouse.
  void MoveOver(QWidget* over) {
    const QPoint local = over == &window ? QPoint(1, 1) : over->rect().center();
    const QPoint global = over->mapToGlobal(local);
    QEnterEvent enter(local, local, global);
    QApplication::sendEvent(over, &enter);
    MoveWithin(over);
  }
  // The mouse moving over `over` without entering it.
  void MoveWithin(QWidget* over) {
    const QPoint local = over == &window ? QPoint(1, 1) : over->rect().center();
    QMouseEvent move(QEvent::MouseMove, local, over->mapToGlobal(local), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(over, &move);
  }

  Qt::CursorShape shape() const { return window.cursor().shape(); }

  QWidget window;
  QLabel* label;
  QLineEdit* text;
  QPushButton* button;
  QToolButton* tool_button;
  QGroupBox* frame;
  QRadioButton* option;
  QCheckBox* check;
};

bool PaintedButtonFace(const QWidget& widget) {
  return widget.autoFillBackground() && widget.palette().color(QPalette::Window) == quillon::ButtonFaceColour();
}

// A Windows cursor file of one 32 x 32 picture with a 1-bit colour table and
// the hot spot (hx, hy): a black top row and a white left column, the rest
// transparent.
std::string MonochromeCursor(int hx, int hy) {
  std::string f;
  auto u8 = [&](int v) { f += static_cast<char>(v & 0xFF); };
  auto u16 = [&](int v) { u8(v); u8(v >> 8); };
  auto u32 = [&](uint32_t v) { u16(static_cast<int>(v & 0xFFFF)); u16(static_cast<int>(v >> 16)); };
  const int size = 32;
  const int stride = 4;  // 32 pixels of 1 bit
  const uint32_t image_bytes = 40 + 8 + 2 * stride * size;
  u16(0); u16(2); u16(1);                                    // directory: a cursor with one picture
  u8(size); u8(size); u8(2); u8(0); u16(hx); u16(hy); u32(image_bytes); u32(22);
  u32(40); u32(size); u32(2 * size); u16(1); u16(1); u32(0);  // BITMAPINFOHEADER, 1 bit
  u32(0); u32(0); u32(0); u32(2); u32(0);
  u32(0x00000000); u32(0x00FFFFFF);                          // colour 0 black, colour 1 white
  // Colour rows, bottom-up: row y is white (1) in column 0, black elsewhere.
  for (int row = size - 1; row >= 0; --row) { u8(0x80); u8(0); u8(0); u8(0); }
  // Mask rows, bottom-up: opaque (0) on the top row and in column 0.
  for (int row = size - 1; row >= 0; --row) {
    if (row == 0) { u32(0); } else { u8(0x7F); u8(0xFF); u8(0xFF); u8(0xFF); }
  }
  return f;
}

}  // namespace

TEST(ProgramFolderTest, IsTheFolderOfTheRunningProgramWithoutTrailingSeparator) {
  const std::string folder = quillon::ProgramFolder();
  EXPECT_EQ(fs::path(folder), fs::canonical("/proc/self/exe").parent_path());
  EXPECT_NE(folder.back(), '/');
}

TEST(ProgramFolderTest, FilesBesideTheProgramTakeOneNativeSeparator) {
  EXPECT_EQ(quillon::BesideFolder("/opt/quillon", quillon::kSkinFile), "/opt/quillon/x/o.cjs");
  EXPECT_EQ(quillon::BesideFolder("/", quillon::kPointerFile), "/HAND-M.CUR");
  EXPECT_EQ(quillon::BesideFolder("/opt/quillon", quillon::kSamplesFolder), "/opt/quillon/Samples");
}

TEST(ColourStepTest, PaintsTheWindowAndItsLabelsFramesOptionsAndChecksOnly) {
  TestWindow w;
  const QColor text_colour = w.text->palette().color(QPalette::Window);
  quillon::ResetBackColors(w.window);
  EXPECT_TRUE(PaintedButtonFace(w.window));
  EXPECT_TRUE(PaintedButtonFace(*w.label));
  EXPECT_TRUE(PaintedButtonFace(*w.frame));
  EXPECT_TRUE(PaintedButtonFace(*w.option));  // inside the frame
  EXPECT_TRUE(PaintedButtonFace(*w.check));
  EXPECT_FALSE(w.button->autoFillBackground());
  EXPECT_FALSE(w.text->autoFillBackground());
  EXPECT_EQ(w.text->palette().color(QPalette::Window), text_colour);
}

TEST(SelectAllOnFocusTest, APathBoxSelectsItsWholeTextWhenItGetsTheFocus) {
  TestWindow w;
  w.text->setText("/data/tables");
  quillon::SelectAllOnFocus(*w.text);
  QFocusEvent focus(QEvent::FocusIn, Qt::MouseFocusReason);
  QApplication::sendEvent(w.text, &focus);
  QApplication::processEvents();
  EXPECT_EQ(w.text->selectedText(), "/data/tables");
}

TEST(ApplicationIconTest, IsCompiledIntoTheProgramInSeveralSizes) {
  testing_support::EnsureApplication();
  const QIcon icon = quillon::ApplicationIcon();
  ASSERT_FALSE(icon.isNull());
  EXPECT_EQ(icon.availableSizes().size(), 4);
  EXPECT_FALSE(icon.pixmap(16, 16).isNull());
  EXPECT_EQ(icon.pixmap(256, 256).width(), 256);
}

TEST(CursorFileTest, ReadsAMonochromePictureRightSideUpWithItsMaskAndHotSpot) {
  TempDir dir;
  const std::string path = dir.Sub("HAND-M.CUR");
  testing_support::WriteFileBytes(path, MonochromeCursor(5, 9));
  const quillon::CursorPicture picture = quillon::ReadCursorFile(path);
  EXPECT_EQ(picture.hot_spot, QPoint(5, 9));
  ASSERT_EQ(picture.image.size(), QSize(32, 32));
  EXPECT_EQ(picture.image.pixel(10, 0), qRgba(0, 0, 0, 255));        // top row: black
  EXPECT_EQ(picture.image.pixel(0, 20), qRgba(255, 255, 255, 255));  // left column: white
  EXPECT_EQ(qAlpha(picture.image.pixel(10, 20)), 0);                 // elsewhere: see-through
  EXPECT_EQ(qAlpha(picture.image.pixel(31, 31)), 0);
}

TEST(CursorFileTest, RefusesFilesThatAreNotCursors) {
  TempDir dir;
  std::string icon = MonochromeCursor(0, 0);
  icon[2] = 1;  // an icon file, not a cursor
  testing_support::WriteFileBytes(dir.Sub("icon.cur"), icon);
  EXPECT_THROW(quillon::ReadCursorFile(dir.Sub("icon.cur")), std::runtime_error);
  testing_support::WriteFileBytes(dir.Sub("short.cur"), MonochromeCursor(0, 0).substr(0, 100));
  EXPECT_THROW(quillon::ReadCursorFile(dir.Sub("short.cur")), std::runtime_error);
  testing_support::WriteFileBytes(dir.Sub("empty.cur"), "");
  EXPECT_THROW(quillon::ReadCursorFile(dir.Sub("empty.cur")), std::runtime_error);
}

TEST(PointerRuleTest, PictureStepLoadsTheCursorBesideTheProgramOrKeepsThePointingHand) {
  TestWindow w;
  TempDir dir;
  auto* rule = new quillon::PointerRule(w.window);
  rule->LoadPicture(quillon::BesideFolder(dir.path().string(), quillon::kPointerFile));
  EXPECT_FALSE(rule->has_picture());
  EXPECT_EQ(rule->custom_pointer().shape(), Qt::PointingHandCursor);

  testing_support::WriteFileBytes(dir.Sub("HAND-M.CUR"), MonochromeCursor(6, 1));
  rule->LoadPicture(quillon::BesideFolder(dir.path().string(), quillon::kPointerFile));
  EXPECT_TRUE(rule->has_picture());
  EXPECT_EQ(rule->custom_pointer().shape(), Qt::BitmapCursor);
  EXPECT_EQ(rule->custom_pointer().hotSpot(), QPoint(6, 1));
}

TEST(PointerRuleTest, CustomPointerOverPushButtonsDefaultElsewhere) {
  TestWindow w;
  auto* rule = new quillon::PointerRule(w.window);

  w.MoveOver(w.button);
  EXPECT_EQ(w.shape(), Qt::PointingHandCursor);
  w.MoveOver(w.label);
  EXPECT_EQ(w.shape(), Qt::ArrowCursor);
  w.MoveOver(w.tool_button);  // the "..." button is a push button too
  EXPECT_EQ(w.shape(), Qt::PointingHandCursor);
  w.MoveOver(&w.window);
  EXPECT_EQ(w.shape(), Qt::ArrowCursor);
  w.MoveOver(w.option);  // an option button is not a push button
  EXPECT_EQ(w.shape(), Qt::ArrowCursor);
  w.MoveOver(w.text);
  EXPECT_EQ(w.shape(), Qt::ArrowCursor);

  // With a picture the custom pointer is that picture.
  w.MoveOver(w.label);
  TempDir dir;
  testing_support::WriteFileBytes(dir.Sub("HAND-M.CUR"), MonochromeCursor(6, 1));
  rule->LoadPicture(dir.Sub("HAND-M.CUR"));
  w.MoveOver(w.button);
  EXPECT_EQ(w.shape(), Qt::BitmapCursor);
  EXPECT_EQ(w.window.cursor().hotSpot(), QPoint(6, 1));
}

TEST(PointerRuleTest, TheBusyPointerStaysWhereverTheMouseGoes) {
  TestWindow w;
  new quillon::PointerRule(w.window);
  quillon::SetBusyPointer(w.window, true);
  EXPECT_TRUE(quillon::IsBusyPointer(w.window));
  w.MoveOver(w.button);
  EXPECT_EQ(w.shape(), Qt::WaitCursor);
  w.MoveOver(w.label);
  EXPECT_EQ(w.shape(), Qt::WaitCursor);

  // The busy pointer goes while the mouse rests on the button: the next move
  // there brings the custom pointer.
  w.MoveOver(w.button);
  quillon::SetBusyPointer(w.window, false);
  EXPECT_FALSE(quillon::IsBusyPointer(w.window));
  w.MoveWithin(w.button);
  EXPECT_EQ(w.shape(), Qt::PointingHandCursor);
}

class SkinTest : public ::testing::Test {
 protected:
  ~SkinTest() override { qApp->setStyleSheet(QString()); }
  void WriteSkin(const std::string& text) {
    fs::create_directories(dir_.path() / "x");
    testing_support::WriteFileBytes(dir_.Sub("x/o.cjs"), text);
  }
  TestWindow w_;
  TempDir dir_;
  quillon::Skin skin_;
};

TEST_F(SkinTest, WithoutTheSkinFileTheWindowKeepsItsDesignedLook) {
  EXPECT_FALSE(quillon::ApplySkin(w_.window, skin_, dir_.path().string()));
  EXPECT_FALSE(skin_.loaded());
  EXPECT_FALSE(w_.window.autoFillBackground());
  EXPECT_FALSE(w_.label->autoFillBackground());
  EXPECT_TRUE(qApp->styleSheet().isEmpty());
}

TEST_F(SkinTest, TheSkinFilePaintsButtonFaceThenStylesEveryWindow) {
  const std::string sheet = "QPushButton { color: #123456; }";
  WriteSkin(sheet);
  EXPECT_TRUE(quillon::ApplySkin(w_.window, skin_, dir_.path().string()));
  EXPECT_TRUE(PaintedButtonFace(w_.window));
  EXPECT_TRUE(PaintedButtonFace(*w_.label));
  EXPECT_TRUE(PaintedButtonFace(*w_.check));
  EXPECT_EQ(qApp->styleSheet().toStdString(), sheet);
  // A window opened later takes the skin too.
  QPushButton later("Later");
  later.ensurePolished();
  EXPECT_EQ(later.palette().color(QPalette::ButtonText), QColor("#123456"));
}

TEST_F(SkinTest, AFolderInPlaceOfTheSkinFileIsNotASkin) {
  fs::create_directories(dir_.path() / "x" / "o.cjs");
  EXPECT_FALSE(quillon::ApplySkin(w_.window, skin_, dir_.path().string()));
  EXPECT_FALSE(w_.window.autoFillBackground());
}

TEST(SkinFileTest, HiddenFilesAreNotFound) {
  TempDir dir;
  testing_support::WriteFileBytes(dir.Sub("o.cjs"), "x");
  testing_support::WriteFileBytes(dir.Sub(".o.cjs"), "x");
  EXPECT_TRUE(quillon::IsVisiblePlainFile(dir.Sub("o.cjs")));
  EXPECT_FALSE(quillon::IsVisiblePlainFile(dir.Sub(".o.cjs")));
  EXPECT_FALSE(quillon::IsVisiblePlainFile(dir.Sub("missing.cjs")));
  EXPECT_FALSE(quillon::IsVisiblePlainFile(dir.path().string()));
}
