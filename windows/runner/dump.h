// The runner's output file <case>.out: the output arrays of one call in a byte format that is
// the same on every platform (little-endian, fixed-width integers), and a reader for it.
//
//   file    := i32 nlhs, value[nlhs], i64 live_arrays_after_cleanup
//   value   := u8 kind, then by kind:
//     kNone     (output not set)
//     kNumeric  i32 class, i32 complex, i32 ndims, i32 dims[ndims], i64 count, i32 elsize,
//               real bytes[count*elsize], imaginary bytes[count*elsize] if complex
//     kChar     i32 ndims, i32 dims[ndims], i64 length, text bytes[length]
//     kStruct   i32 ndims, i32 dims[ndims], i64 count, i32 nfields,
//               (i64 length, name bytes[length])[nfields], value[count*nfields]
//               (element-major: all fields of element 0, then of element 1, ...)
//     kOther    i32 class
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tarvo_runner {

enum DumpKind : std::uint8_t { kNone = 0, kNumeric = 1, kChar = 2, kStruct = 3, kOther = 4 };

struct DumpValue {
  DumpKind kind = kNone;
  std::int32_t cls = 0;
  bool complex = false;
  std::vector<std::int32_t> dims;
  std::int32_t elsize = 0;
  std::vector<unsigned char> re, im;  // numeric data; char text in re
  std::vector<std::string> fields;
  std::vector<std::unique_ptr<DumpValue>> values;  // struct: count * fields.size()
};

struct DumpFile {
  std::vector<std::unique_ptr<DumpValue>> outputs;
  std::int64_t live_arrays = 0;
};

// Parses a .out file's bytes; false when the bytes are not a well-formed file.
class DumpReader {
 public:
  explicit DumpReader(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}

  bool read(DumpFile* file) {
    std::int32_t n = 0;
    if (!get(&n) || n < 0 || n > 64) return false;
    for (std::int32_t i = 0; i < n; ++i) {
      file->outputs.push_back(std::make_unique<DumpValue>());
      if (!value(file->outputs.back().get(), 0)) return false;
    }
    return get(&file->live_arrays) && pos_ == bytes_.size();
  }

 private:
  template <class T>
  bool get(T* v) {
    if (bytes_.size() - pos_ < sizeof(T)) return false;
    std::memcpy(v, bytes_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }
  bool raw(std::size_t n, std::vector<unsigned char>* out) {
    if (bytes_.size() - pos_ < n) return false;
    out->assign(bytes_.begin() + pos_, bytes_.begin() + pos_ + n);
    pos_ += n;
    return true;
  }
  bool dims(DumpValue* v) {
    std::int32_t nd = 0;
    if (!get(&nd) || nd < 0 || nd > 64) return false;
    v->dims.resize(nd);
    for (auto& d : v->dims)
      if (!get(&d)) return false;
    return true;
  }
  bool value(DumpValue* v, int depth) {
    std::uint8_t kind = 0;
    if (depth > 8 || !get(&kind)) return false;
    v->kind = static_cast<DumpKind>(kind);
    std::int64_t count = 0;
    switch (v->kind) {
      case kNone:
        return true;
      case kOther:
        return get(&v->cls);
      case kNumeric: {
        std::int32_t complex = 0;
        if (!get(&v->cls) || !get(&complex) || !dims(v) || !get(&count) || !get(&v->elsize))
          return false;
        v->complex = complex != 0;
        if (count < 0 || v->elsize < 0 || v->elsize > 16) return false;
        const auto bytes = static_cast<std::uint64_t>(count) * v->elsize;
        if (bytes > bytes_.size()) return false;
        return raw(bytes, &v->re) && (!v->complex || raw(bytes, &v->im));
      }
      case kChar:
        return dims(v) && get(&count) && count >= 0 &&
               static_cast<std::uint64_t>(count) <= bytes_.size() &&
               raw(static_cast<std::size_t>(count), &v->re);
      case kStruct: {
        std::int32_t nfields = 0;
        if (!dims(v) || !get(&count) || !get(&nfields) || count < 0 || nfields < 0 ||
            static_cast<std::uint64_t>(count) * nfields > bytes_.size())
          return false;
        for (std::int32_t f = 0; f < nfields; ++f) {
          std::int64_t length = 0;
          std::vector<unsigned char> name;
          if (!get(&length) || length < 0 || static_cast<std::uint64_t>(length) > bytes_.size() ||
              !raw(static_cast<std::size_t>(length), &name))
            return false;
          v->fields.emplace_back(name.begin(), name.end());
        }
        for (std::int64_t i = 0; i < count * nfields; ++i) {
          v->values.push_back(std::make_unique<DumpValue>());
          if (!value(v->values.back().get(), depth + 1)) return false;
        }
        return true;
      }
    }
    return false;
  }

  const std::vector<unsigned char>& bytes_;
  std::size_t pos_ = 0;
};

}  // namespace tarvo_runner
