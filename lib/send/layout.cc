// Result set layout: fetches one result set and lays it out as
// fixed-width text (a header line, a dash line, one line per row, wrapped
// at "@width" bytes, never inside a UTF-8 character), or keeps binary
// values raw.
//
// Rows are fetched into one set of bound buffers and their values copied
// into a compact store (length and bytes of each value), so that a large
// result takes about the room of its text rather than of every column's
// full buffer; the layout is then written and wrapped in one pass.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "frame/errors.h"
#include "frame/reporters.h"
#include "frame/srvblock.h"
#include "frame/utf8.h"
#include "send/send.h"

namespace {

constexpr int32_t kCharLength = 255;             // a value converted to characters
constexpr int32_t kChunkSize = 1 << 20;          // store chunks, unless a value is larger
constexpr int32_t kTypeBinary = VEL_IMAGE_TYPE;  // type tag of every binary value

// One column value of the row being fetched: the buffers a fetch fills.
struct sm_colvalue {
  int16_t indicator;
  int32_t type;     // the adjusted datatype; binary and varbinary become image
  char value[256];  // the value itself, or the address of its block
  int32_t copied;
};

bool Kept(int32_t datatype) {
  return datatype == VEL_TEXT_TYPE || datatype == VEL_IMAGE_TYPE || datatype == VEL_BINARY_TYPE ||
         datatype == VEL_VARBINARY_TYPE;
}

// How many bytes at the end of a value cut at its column's width are the
// start of a character the cut split: the leading bytes of a valid UTF-8
// sequence short of its end, when everything before them is valid UTF-8
// too. 0 when the cut split nothing, or the value is not UTF-8 (another
// character set's bytes are left as they are).
int32_t SplitCharacter(const char* value, int32_t length) {
  const auto* v = reinterpret_cast<const unsigned char*>(value);
  int32_t i = 0;
  while (i < length) {
    const unsigned char lead = v[i];
    const int32_t size = sm_utf8_length(lead);
    if (size == 0) return 0;
    unsigned char low = 0x80, high = 0xbf;  // the second byte's range
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;  // no surrogates
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;  // nothing past U+10FFFF
    for (int32_t k = 1; k < size; ++k) {
      if (i + k == length) return k;  // cut here
      const unsigned char next = v[i + k];
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xbf)) return 0;
    }
    i += size;
  }
  return 0;
}

char* BlockOf(const sm_colvalue& column) {
  char* block = nullptr;
  memcpy(&block, column.value, sizeof(block));
  return block;
}

// The fetched values of a result set: chunks from the server library's
// allocator, each holding values as a 32-bit length followed by the bytes.
class RowStore {
 public:
  explicit RowStore(int32_t columns) : widths_(static_cast<size_t>(columns), 0) {}
  RowStore(const RowStore&) = delete;
  RowStore& operator=(const RowStore&) = delete;

  // Copies one fetched row. False (reported) when no room can be had.
  bool Append(const sm_colvalue* row, const cs_datafmt* descriptions) {
    for (size_t c = 0; c < widths_.size(); ++c) {
      const bool kept = Kept(row[c].type);
      const int32_t limit = kept ? std::max(descriptions[c].maxlength, 0) : kCharLength;
      const int32_t length = std::clamp(row[c].copied, 0, limit);
      char* at = Reserve(static_cast<int32_t>(sizeof(int32_t)) + length);
      if (at == nullptr) return false;
      memcpy(at, &length, sizeof(length));
      char* value = at + sizeof(length);
      memcpy(value, kept ? BlockOf(row[c]) : row[c].value, static_cast<size_t>(length));
      // A character value cut at the column's width (the indicator holds
      // its full length) keeps no part of a character: the split bytes
      // become blanks, and the column keeps its width.
      if (row[c].indicator > 0 && (!kept || row[c].type == VEL_TEXT_TYPE)) {
        const int32_t split = SplitCharacter(value, length);
        memset(value + length - split, ' ', static_cast<size_t>(split));
      }
      widths_[c] = std::max(widths_[c], length);
    }
    ++rows_;
    return true;
  }

  int64_t rows() const { return rows_; }
  int32_t copied_width(size_t column) const { return widths_[column]; }

  // Reads the values back in the order they were stored, once: each chunk
  // is given back as soon as it has been read, so that the laid-out text
  // and the stored values are not held whole at the same time.
  class Reader {
   public:
    explicit Reader(RowStore& store) : store_(store) {}
    // The next value's bytes and length.
    const char* Next(int32_t* length) {
      if (offset_ + static_cast<int32_t>(sizeof(int32_t)) > store_.used_[chunk_]) {
        store_.chunks_[chunk_].Free();
        ++chunk_;
        offset_ = 0;
      }
      const char* at = store_.chunks_[chunk_].as<char>() + offset_;
      memcpy(length, at, sizeof(*length));
      offset_ += static_cast<int32_t>(sizeof(*length)) + *length;
      return at + sizeof(*length);
    }

   private:
    RowStore& store_;
    size_t chunk_ = 0;
    int32_t offset_ = 0;
  };

 private:
  char* Reserve(int32_t size) {
    if (chunks_.empty() || used_.back() + size > capacity_.back()) {
      const int32_t capacity = std::max(kChunkSize, size);
      sm_srvblock chunk;
      if (!chunk.Allocate(capacity)) {
        sm_raise(nullptr, 0, SM_MSG_NO_MEMORY, SM_REPORTER_FETCHANDLOADMB, capacity);
        return nullptr;
      }
      chunks_.push_back(std::move(chunk));
      used_.push_back(0);
      capacity_.push_back(capacity);
    }
    char* at = chunks_.back().as<char>() + used_.back();
    used_.back() += size;
    return at;
  }

  std::vector<sm_srvblock> chunks_;
  std::vector<int32_t> used_;
  std::vector<int32_t> capacity_;
  std::vector<int32_t> widths_;
  int64_t rows_ = 0;
};

// How many continuation bytes follow a UTF-8 lead byte: 1 to 3, or 0 for
// a byte that starts no multi-byte character.
int32_t Following(unsigned char lead) { return std::max(sm_utf8_length(lead) - 1, 0); }

// The fewest bytes a line ended by a break holds: a break comes before a
// character of up to 4 bytes that would cross the width, never at the start
// of a line. A text of n bytes thus gains at most n / this many breaks.
int64_t ShortestBrokenLine(int32_t width) { return std::max(width - 3, 1); }

// Writes the layout into the piece: raw in the binary form, broken into
// lines of at most width bytes in the text form. A UTF-8 character is
// never split: the line breaks before a character that would cross the
// width, and a character wider than the width stands on a line of its own
// (longer than the width; cutting it would leave invalid text). Bytes that
// are not UTF-8 are broken at the width as single bytes. NUL bytes never
// reach the text: they would end it.
class LayoutWriter {
 public:
  LayoutWriter(char* piece, bool binary, int32_t width)
      : out_(piece), binary_(binary), width_(width) {}

  void Byte(char c) {
    if (c == '\n') {
      EndLine();
      return;
    }
    if (!binary_) {
      const auto byte = static_cast<unsigned char>(c);
      if (following_ > 0 && (byte & 0xc0) == 0x80) {
        --following_;  // inside a character: no break
      } else {
        following_ = Following(byte);
        if (column_ > 0 && column_ + 1 + following_ > width_) {
          out_[length_++] = '\n';
          column_ = 0;
        }
      }
      ++column_;
      if (c == '\0') c = ' ';
    }
    out_[length_++] = c;
  }
  void Bytes(const char* bytes, int32_t n) {
    if (binary_) {
      memcpy(out_ + length_, bytes, static_cast<size_t>(n));
      length_ += n;
      return;
    }
    for (int32_t i = 0; i < n; ++i) Byte(bytes[i]);
  }
  void Blanks(int32_t n) {
    for (int32_t i = 0; i < n; ++i) Byte(' ');
  }
  void EndLine() {
    out_[length_++] = '\n';
    column_ = 0;
    following_ = 0;
  }
  int64_t length() const { return length_; }

 private:
  char* out_;
  bool binary_;
  int32_t width_;
  int32_t column_ = 0;
  int32_t following_ = 0;  // continuation bytes still due in the current character
  int64_t length_ = 0;
};

// Lays the stored rows out into piece. 1 or 0 (reported).
int32_t LayOut(sm_text* piece, sm_sendmail_params* record, RowStore& store,
               const cs_datafmt* descriptions, const int32_t* tags, int32_t columns) {
  srv_proc* thread = nullptr;
  if (!sm_findcurrentthread(&thread)) {
    sm_raise(nullptr, 0, SM_MSG_NO_CURRENT_THREAD, SM_REPORTER_LOADMB, 0);
    return 0;
  }
  std::vector<int32_t> widths(static_cast<size_t>(columns));
  int64_t line = 0;
  bool binary = false;
  for (int32_t c = 0; c < columns; ++c) {
    const int32_t namelen = std::clamp<int32_t>(descriptions[c].namelen, 0, 132);
    widths[c] = std::max(store.copied_width(c), namelen);
    line += widths[c];
    if (tags[c] == kTypeBinary && store.rows() > 0) binary = true;
  }
  // An empty separator means none.
  const sm_param* separator_entry = &record->params[SM_SEND_SEPARATOR];
  const bool separated = separator_entry->length > 0;
  const char separator = separated ? separator_entry->value[0] : '\0';
  line += separated ? columns : 1;  // separators and the line end

  const int64_t laid_out = (store.rows() + 2) * line + 1;
  const int32_t width = std::max(sm_paramint(&record->params[SM_SEND_WIDTH]), 1);
  const int64_t size = binary ? laid_out + 1 : laid_out + laid_out / ShortestBrokenLine(width) + 1;
  sm_srvblock laid_block;
  char* block = size <= INT32_MAX && laid_block.Allocate(static_cast<int32_t>(size))
                    ? laid_block.as<char>()
                    : nullptr;
  if (block == nullptr) {
    const int32_t asked = static_cast<int32_t>(std::min<int64_t>(size, INT32_MAX));
    sm_raise(thread, 0, SM_MSG_NO_MEMORY, SM_REPORTER_LOADMB, asked);
    sm_raise(thread, 0, SM_MSG_FAILED, nullptr, 0);
    return 0;
  }

  LayoutWriter out(block, binary, width);
  auto separate = [&](int32_t c) {
    if (separated && c + 1 < columns) out.Byte(separator);
  };
  out.EndLine();
  if (!record->no_column_header) {
    for (int32_t c = 0; c < columns; ++c) {
      const int32_t namelen = std::clamp<int32_t>(descriptions[c].namelen, 0, 132);
      out.Bytes(descriptions[c].name, namelen);
      out.Blanks(widths[c] - namelen);
      separate(c);
    }
    out.EndLine();
    for (int32_t c = 0; c < columns; ++c) {
      for (int32_t i = 0; i < widths[c]; ++i) out.Byte('-');
      separate(c);
    }
    out.EndLine();
  }
  RowStore::Reader reader(store);
  for (int64_t r = 0; r < store.rows(); ++r) {
    for (int32_t c = 0; c < columns; ++c) {
      int32_t length = 0;
      const char* value = reader.Next(&length);
      if (Kept(tags[c])) {
        out.Bytes(value, length);  // copied byte for byte
      } else {
        // A character value ends at a NUL byte; the rest of it is blank.
        const int32_t text = static_cast<int32_t>(strnlen(value, static_cast<size_t>(length)));
        out.Bytes(value, text);
        out.Blanks(length - text);
      }
      out.Blanks(widths[c] - length);
      separate(c);
    }
    out.EndLine();
  }
  block[out.length()] = '\0';
  if (binary) record->attach_result = 1;
  piece->block = static_cast<char*>(laid_block.release());
  piece->length = static_cast<int32_t>(out.length());
  return 1;
}

}  // namespace

int32_t sm_fetchandlayout(cs_connection* connection, cs_command* command, sm_text* piece,
                          sm_sendmail_params* record) {
  srv_proc* thread = nullptr;
  if (!sm_findcurrentthread(&thread)) {
    sm_raise(nullptr, 0, SM_MSG_NO_CURRENT_THREAD, SM_REPORTER_FETCHANDLOADMB, 0);
    return 0;
  }
  int32_t columns = 0;
  if (ct_res_info(command, VEL_NUMDATA, &columns, VEL_UNUSED, nullptr) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_LIBRARY_CALL_FAILED, "ct_res_info", 0);
    return 0;
  }
  if (columns <= 0) {
    sm_raise(thread, 0, SM_MSG_NO_COLUMNS, nullptr, 0);
    return 0;
  }
  const int64_t descriptions_size =
      static_cast<int64_t>(columns) * static_cast<int64_t>(sizeof(cs_datafmt));
  sm_srvblock descriptions;
  if (descriptions_size > INT32_MAX ||
      !descriptions.Allocate(static_cast<int32_t>(descriptions_size))) {
    sm_raise_failed(thread, SM_MSG_NO_MEMORY, SM_REPORTER_FETCHANDLOADMB,
                    static_cast<int32_t>(std::min<int64_t>(descriptions_size, INT32_MAX)));
    return 0;
  }
  cs_datafmt* formats = descriptions.as<cs_datafmt>();
  std::vector<int32_t> tags(static_cast<size_t>(columns), VEL_CHAR_TYPE);
  RowStore store(columns);

  // The buffers every fetch fills, bound once.
  const int32_t row_size = columns * static_cast<int32_t>(sizeof(sm_colvalue));
  sm_srvblock row_block;
  bool ok = row_block.Allocate(row_size);
  if (!ok) sm_raise(nullptr, 0, SM_MSG_NO_MEMORY, SM_REPORTER_FETCHANDLOADMB, row_size);
  sm_colvalue* row = row_block.as<sm_colvalue>();
  // The value blocks of the long columns; row[c].value holds their address.
  std::vector<sm_srvblock> value_blocks(static_cast<size_t>(columns));
  for (int32_t c = 0; ok && c < columns; ++c) {
    memset(&row[c], 0, sizeof(row[c]));
    memset(&formats[c], 0, sizeof(formats[c]));
    if (ct_describe(command, c + 1, &formats[c]) != VEL_SUCCEED) {
      sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "ct_describe", 0);
      ok = false;
      break;
    }
    if (!Kept(formats[c].datatype)) {
      formats[c].datatype = VEL_CHAR_TYPE;
      formats[c].maxlength = kCharLength;
    }
    formats[c].format = 0;
    const int32_t datatype = formats[c].datatype;
    tags[c] =
        (datatype == VEL_BINARY_TYPE || datatype == VEL_VARBINARY_TYPE) ? kTypeBinary : datatype;
    row[c].type = tags[c];
    void* buffer = row[c].value;
    if (Kept(datatype)) {
      const int32_t size = std::max(formats[c].maxlength, 1);
      char* block = value_blocks[c].Allocate(size) ? value_blocks[c].as<char>() : nullptr;
      if (block == nullptr) {
        sm_raise(nullptr, 0, SM_MSG_NO_MEMORY, SM_REPORTER_FETCHANDLOADMB, formats[c].maxlength);
        ok = false;
        break;
      }
      memcpy(row[c].value, &block, sizeof(block));
      buffer = block;
    }
    if (ct_bind(command, c + 1, &formats[c], buffer, &row[c].copied, &row[c].indicator) !=
        VEL_SUCCEED) {
      sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "ct_bind", 0);
      ok = false;
    }
  }
  if (!ok && row != nullptr) ct_bind(command, VEL_UNUSED, nullptr, nullptr, nullptr, nullptr);

  int32_t fetched = VEL_FAIL;
  int32_t rows_read = 0;
  while (ok && (fetched = ct_fetch(command, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, &rows_read)) ==
                   VEL_SUCCEED) {
    ok = store.Append(row, formats);
  }

  int32_t result = 0;
  if (ok && fetched == VEL_END_DATA) {
    sm_freetext(piece);
    result = record->no_output ? 1 : LayOut(piece, record, store, formats, tags.data(), columns);
  } else {
    ct_cancel(connection, command, VEL_CANCEL_ALL);
    sm_raise(thread, 0, SM_MSG_FAILED, nullptr, 0);
  }
  return result;
}
