// Text forms of the values stored in a record.
//
// Every field whose type holds text or a number, date or logical value has a
// text form; reading a value and assigning its text form back leaves the
// stored bytes unchanged. Forms: C and V as stored (trailing blanks kept);
// N and F as stored without padding; D "YYYY-MM-DD"; T "YYYY-MM-DD hh:mm:ss";
// L "True"/"False"; I, Y and B as decimal numbers; blank values "". Binary
// values (G, W, P, Q, and C, V, M marked binary) have no text form: the
// program treats them like NULL.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "data/record/table_header.h"
#include "data/text/code_page.h"

namespace fox {

// Julian day numbers of proleptic Gregorian dates, the day count FoxPro
// stores in datetime fields and in date keys of indexes.
int64_t JulianDayNumber(int year, int month, int day);
void DateOfJulianDay(int64_t jdn, int* year, int* month, int* day);

// Why a text cannot be stored in a field: `reason` is the same for every text
// refused alike ("is not a date (YYYY-MM-DD)"); `message` shows the text.
struct ValueProblem {
  std::string reason;
  std::string message;
};

class FieldCodec {
 public:
  // `header` must outlive the codec.
  FieldCodec(const TableHeader& header, CodePage code_page);

  const CodePage& code_page() const { return code_page_; }

  // True when the field is NULL in `record` (its null bit is set).
  bool IsNull(std::string_view record, const FieldDescriptor& field) const;
  // The field's own bits in _NullFlags, as bit 0 (NULL) and bit 1 (a varchar
  // value shorter than the field); whether it has any.
  bool HasFlagBits(const FieldDescriptor& field) const;
  unsigned FlagBits(std::string_view record, const FieldDescriptor& field) const;
  void SetFlagBits(std::string& record, const FieldDescriptor& field, unsigned bits) const;

  // True when values of this field have a text form.
  static bool HasTextForm(const FieldDescriptor& field);

  // The text form of a field that is not a memo. Nothing when the value is
  // NULL or the field has no text form. Throws Error(kCorrupt) when the stored
  // bytes cannot be read as the field's type.
  std::optional<std::string> Text(std::string_view record, const FieldDescriptor& field) const;

  // The stored bytes of a C or V value, not decoded: a C value with its
  // padding, a V value without. Throws Error(kCorrupt) like Text.
  std::string_view TextBytes(std::string_view record, const FieldDescriptor& field) const;

  // Stores `text` in a field that is not a memo, converted to the field's
  // type, and clears its null bit. Throws Error(kInvalidValue) naming the
  // field and the reason when the text does not fit; `record` is then
  // unchanged.
  void Assign(std::string& record, const FieldDescriptor& field, std::string_view text) const;
  // Assign in two steps, without throwing for a text the field cannot take:
  // Encode gives the stored bytes, or the problem; Store puts them in place.
  std::optional<ValueProblem> Encode(const FieldDescriptor& field, std::string_view text, std::string* bytes,
                                     bool* short_value) const;
  void Store(std::string& record, const FieldDescriptor& field, const std::string& bytes,
             bool short_value) const;
  // The text in the code page's bytes, or the problem.
  std::optional<ValueProblem> EncodeText(std::string_view text, std::string* bytes) const;
  // EncodeText for a memo value, refusing one longer than the longest string
  // FoxPro holds (16,777,184 bytes): the programs that use the table could
  // not read it back.
  static constexpr size_t kLongestMemoValue = 16777184;
  std::optional<ValueProblem> EncodeMemo(std::string_view text, std::string* bytes) const;

  // Memo pointers: the first block of a memo field's value, 0 when empty.
  uint32_t MemoBlock(std::string_view record, const FieldDescriptor& field) const;
  void SetMemoBlock(std::string& record, const FieldDescriptor& field, uint32_t block) const;

  // Text of memo data (decoded with the code page); encoding of memo text.
  std::string MemoText(std::string_view data) const { return code_page_.Decode(data); }

 private:
  const TableHeader& header_;
  CodePage code_page_;
};

}  // namespace fox
