#include "shell/pointer.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QMouseEvent>
#include <QPixmap>
#include <QRadioButton>
#include <QWidget>
#include <algorithm>
#include <stdexcept>

#include "base/error.h"
#include "base/file_helpers.h"

namespace quillon {
namespace {

// Little-endian reads with bounds checks against the whole file.
class Bytes {
 public:
  Bytes(const QByteArray& data, const std::string& path) : data_(data), path_(path) {}

  uint32_t Read(size_t offset, int width) const {
    if (offset + static_cast<size_t>(width) > static_cast<size_t>(data_.size())) Fail("it is cut short");
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(data_[offset + i]);
    return value;
  }
  uint8_t U8(size_t offset) const { return static_cast<uint8_t>(Read(offset, 1)); }
  uint16_t U16(size_t offset) const { return static_cast<uint16_t>(Read(offset, 2)); }
  uint32_t U32(size_t offset) const { return Read(offset, 4); }
  int32_t I32(size_t offset) const { return static_cast<int32_t>(Read(offset, 4)); }
  size_t size() const { return static_cast<size_t>(data_.size()); }
  const QByteArray& data() const { return data_; }

  [[noreturn]] void Fail(const std::string& why) const {
    throw Error(ErrorKind::kCorrupt,
                "The pointer file " + path_ + " cannot be read as a cursor: " + why + ".");
  }

 private:
  const QByteArray& data_;
  const std::string& path_;
};

// Decodes the device-independent bitmap of a cursor picture at `offset`: a
// BITMAPINFOHEADER whose height counts the colour rows and the AND mask rows,
// the colour table, the colour rows and the mask rows, each row padded to
// four bytes and stored bottom-up.
QImage DecodeBitmap(const Bytes& bytes, size_t offset) {
  const uint32_t header_size = bytes.U32(offset);
  const int32_t width = bytes.I32(offset + 4);
  const int32_t double_height = bytes.I32(offset + 8);
  const uint16_t bits = bytes.U16(offset + 14);
  const uint32_t compression = bytes.U32(offset + 16);
  uint32_t colours_used = bytes.U32(offset + 32);
  if (header_size < 40 || width <= 0 || width > 1024 || double_height <= 0 || double_height > 2048) {
    bytes.Fail("the picture has an impossible size");
  }
  if (compression != 0) bytes.Fail("its picture is compressed");
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) {
    bytes.Fail("its picture has " + std::to_string(bits) + " bits per pixel");
  }
  const int height = double_height / 2;

  std::vector<QRgb> table;
  size_t at = offset + header_size;
  if (bits <= 8) {
    if (colours_used == 0 || colours_used > (1u << bits)) colours_used = 1u << bits;
    for (uint32_t i = 0; i < colours_used; ++i, at += 4) {
      table.push_back(qRgb(bytes.U8(at + 2), bytes.U8(at + 1), bytes.U8(at)));
    }
  }
  const size_t colour_stride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
  const size_t mask_stride = ((static_cast<size_t>(width) + 31) / 32) * 4;
  const size_t colour_rows = at;
  const size_t mask_rows = colour_rows + colour_stride * height;
  bytes.Read(mask_rows + mask_stride * height - 1, 1);  // the whole mask is there

  QImage image(width, height, QImage::Format_ARGB32);
  bool any_alpha = false;
  for (int y = 0; y < height; ++y) {
    const size_t row = colour_rows + colour_stride * (height - 1 - y);
    for (int x = 0; x < width; ++x) {
      QRgb pixel = 0;
      if (bits == 32) {
        const size_t p = row + 4 * static_cast<size_t>(x);
        pixel = qRgba(bytes.U8(p + 2), bytes.U8(p + 1), bytes.U8(p), bytes.U8(p + 3));
        any_alpha = any_alpha || qAlpha(pixel) != 0;
      } else if (bits == 24) {
        const size_t p = row + 3 * static_cast<size_t>(x);
        pixel = qRgb(bytes.U8(p + 2), bytes.U8(p + 1), bytes.U8(p));
      } else {
        const size_t bit = static_cast<size_t>(x) * bits;
        const uint8_t byte = bytes.U8(row + bit / 8);
        const unsigned index = (byte >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
        pixel = index < table.size() ? table[index] : qRgb(0, 0, 0);
      }
      image.setPixel(x, y, pixel);
    }
  }
  // Without an alpha channel the AND mask says what is transparent. A masked
  // pixel with a non-black colour inverts the screen on Windows; it is drawn
  // black, the nearest a picture can come.
  if (!any_alpha) {
    for (int y = 0; y < height; ++y) {
      const size_t row = mask_rows + mask_stride * (height - 1 - y);
      for (int x = 0; x < width; ++x) {
        const bool masked = (bytes.U8(row + x / 8) >> (7 - x % 8)) & 1;
        const QRgb colour = image.pixel(x, y);
        if (!masked) {
          image.setPixel(x, y, qRgba(qRed(colour), qGreen(colour), qBlue(colour), 255));
        } else if ((colour & 0xFFFFFF) == 0) {
          image.setPixel(x, y, qRgba(0, 0, 0, 0));
        } else {
          image.setPixel(x, y, qRgba(0, 0, 0, 255));
        }
      }
    }
  }
  return image;
}

bool IsWindow(const QWidget& widget, const QWidget& window) { return &widget == &window; }

}  // namespace

CursorPicture ReadCursorFile(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) {
    throw Error(ErrorKind::kIo,
                "The pointer file " + path + " cannot be opened: " + file.errorString().toStdString() + ".");
  }
  const QByteArray data = file.readAll();
  file.close();
  const Bytes bytes(data, path);

  // Directory: reserved 0, type 2 (cursor), count, then 16-byte entries.
  if (bytes.U16(0) != 0 || bytes.U16(2) != 2) bytes.Fail("it does not start like one");
  if (bytes.U16(4) == 0) bytes.Fail("it holds no picture");
  const QPoint hot_spot(bytes.U16(6 + 4), bytes.U16(6 + 6));
  const uint32_t length = bytes.U32(6 + 8);
  const uint32_t offset = bytes.U32(6 + 12);
  if (offset >= bytes.size() || length > bytes.size() - offset)
    bytes.Fail("its picture lies outside the file");

  CursorPicture picture;
  picture.hot_spot = hot_spot;
  static const QByteArray kPngSignature("\x89PNG\r\n\x1a\n", 8);
  if (data.mid(offset, 8) == kPngSignature) {
    picture.image = QImage::fromData(data.mid(offset, length), "PNG");
    if (picture.image.isNull()) bytes.Fail("its PNG picture is damaged");
  } else {
    picture.image = DecodeBitmap(bytes, offset);
  }
  return picture;
}

bool IsBusyPointer(const QWidget& window) {
  return window.testAttribute(Qt::WA_SetCursor) && window.cursor().shape() == Qt::WaitCursor;
}

void SetBusyPointer(QWidget& window, bool busy) {
  if (busy) {
    window.setCursor(Qt::WaitCursor);
  } else {
    window.unsetCursor();
  }
}

bool IsPushButton(const QWidget& widget) {
  return qobject_cast<const QAbstractButton*>(&widget) != nullptr &&
         qobject_cast<const QCheckBox*>(&widget) == nullptr &&
         qobject_cast<const QRadioButton*>(&widget) == nullptr;
}

PointerRule::PointerRule(QWidget& window) : QObject(&window), window_(window) {
  // Qt tells a widget that the mouse moves over it only when the widget
  // tracks the mouse; otherwise it only says when the mouse enters. The
  // window and its push buttons track it, so that a move there after the busy
  // pointer has gone applies the rule at once; every other control is
  // watched for the mouse entering it.
  window_.setMouseTracking(true);
  window_.installEventFilter(this);
  for (QWidget* control : window_.findChildren<QWidget*>()) {
    if (IsPushButton(*control)) control->setMouseTracking(true);
    control->installEventFilter(this);
  }
}

void PointerRule::SetPicture(const CursorPicture& picture) {
  custom_ = QCursor(QPixmap::fromImage(picture.image), picture.hot_spot.x(), picture.hot_spot.y());
  has_picture_ = true;
}

void PointerRule::LoadPicture(const std::string& pointer_file) {
  if (!FileExists(pointer_file)) return;
  SetPicture(ReadCursorFile(pointer_file));
}

bool PointerRule::eventFilter(QObject* watched, QEvent* event) {
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr) return false;
  const bool window = IsWindow(*widget, window_);
  if (event->type() == QEvent::Enter) {
    PointAt(window ? nullptr : widget);
  } else if (event->type() == QEvent::MouseMove) {
    // A move that a control passes on to the window is over that control.
    const auto* move = static_cast<QMouseEvent*>(event);
    PointAt(window ? window_.childAt(move->position().toPoint()) : widget);
  }
  return false;
}

void PointerRule::PointAt(const QWidget* under) {
  if (IsBusyPointer(window_)) return;
  // The control under the mouse may be a part of a push button (its label).
  for (const QWidget* w = under; w != nullptr && w != &window_; w = w->parentWidget()) {
    if (IsPushButton(*w)) {
      window_.setCursor(custom_);
      return;
    }
    if (std::find(unchanged_over_.begin(), unchanged_over_.end(), w) != unchanged_over_.end()) return;
  }
  window_.unsetCursor();
}

}  // namespace quillon
