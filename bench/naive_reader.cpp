// A straightforward STS reader, built only for the benchmark as the
// yardstick quillrow has to beat: mmap the file, memchr for line ends, a
// byte table to split fields, a plain digit loop for the integer fields and
// fast_float::from_chars for the values, results pushed into two growing
// std::vectors and copied into fresh NumPy arrays at the end.
//
// Built by bench/run.sh:
//   g++ -O2 -std=c++20 -shared -fPIC naive_reader.cpp -o naive_reader$(EXT)
//       -I<python include> -I<numpy include>
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <fast_float/fast_float.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct SeparatorTable {
  bool is_separator[256] = {};
  constexpr SeparatorTable() {
    for (unsigned char c : {'\t', '\n', '\f', '\r', ' '})
      is_separator[c] = true;
  }
};
constexpr SeparatorTable SEPARATORS;

inline bool is_sep(char c) {
  return SEPARATORS.is_separator[static_cast<unsigned char>(c)];
}

struct Failure {
  std::string message;
};

// Next whitespace-delimited field of [*cursor, end); empty view when none.
inline std::string_view next_field(const char*& cursor, const char* end) {
  while (cursor < end && is_sep(*cursor))
    ++cursor;
  const char* start = cursor;
  while (cursor < end && !is_sep(*cursor))
    ++cursor;
  return {start, static_cast<size_t>(cursor - start)};
}

inline bool parse_int(std::string_view field, int32_t& out) {
  size_t i = 0;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
    negative = field[i] == '-';
    ++i;
  }
  if (i == field.size()) return false;
  int64_t value = 0;
  for (; i < field.size(); ++i) {
    unsigned digit = static_cast<unsigned char>(field[i]) - '0';
    if (digit > 9) return false;
    value = value * 10 + digit;
    if (value > int64_t{1} << 31) return false;
  }
  value = negative ? -value : value;
  if (value > INT32_MAX || value < INT32_MIN) return false;
  out = static_cast<int32_t>(value);
  return true;
}

inline int64_t timestamp_ms(const int32_t t[6]) {
  // Day count of the proleptic Gregorian calendar, 32-bit with truncating
  // division, then widened for the millisecond sum.
  uint32_t y1 = static_cast<uint32_t>(t[0]) - 1u;
  int32_t y1s = static_cast<int32_t>(y1);
  uint32_t days = static_cast<uint32_t>(t[0]) * 365u + static_cast<uint32_t>(y1s / 4) -
                  static_cast<uint32_t>(y1s / 100) + static_cast<uint32_t>(y1s / 400) +
                  static_cast<uint32_t>(t[1]) - 719528u;
  return int64_t{static_cast<int32_t>(days)} * 86400000 + int64_t{t[2]} * 3600000 + int64_t{t[3]} * 60000 +
         int64_t{t[4]} * 1000 + int64_t{t[5]};
}

void read_file(const char* path, std::vector<int64_t>& times, std::vector<float>& values) {
  int fd = ::open(path, O_RDONLY);
  if (fd < 0) throw Failure{std::string(path) + ": " + std::strerror(errno)};
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    throw Failure{std::string(path) + ": " + std::strerror(errno)};
  }
  size_t size = static_cast<size_t>(st.st_size);
  void* map = ::mmap(nullptr, size ? size : 1, PROT_READ, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    ::close(fd);
    throw Failure{std::string(path) + ": " + std::strerror(errno)};
  }
  struct Unmap {
    void* p;
    size_t n;
    int fd;
    ~Unmap() {
      ::munmap(p, n ? n : 1);
      ::close(fd);
    }
  } guard{map, size, fd};

  const char* data = static_cast<const char*>(map);
  const char* end = data + size;
  const char* pos = data;
  uint64_t line_number = 0, opened = 0, closed = 0;
  bool in_header = true;
  auto fail = [&](const char* what) {
    throw Failure{"Invalid file " + std::string(path) + " at line " + std::to_string(line_number) + ": " +
                  what};
  };
  while (pos < end) {
    const char* nl = static_cast<const char*>(std::memchr(pos, '\n', size_t(end - pos)));
    const char* line_end = nl ? nl : end;
    ++line_number;
    const char* stop = line_end;
    if (stop > pos && stop[-1] == '\r') --stop;
    if (stop > pos) {
      std::string_view line(pos, size_t(stop - pos));
      if (in_header) {
        if (line.find("END_OBJECT") != std::string_view::npos)
          ++closed;
        else if (line.find("OBJECT") != std::string_view::npos)
          ++opened;
        if (opened > 0 && opened == closed) in_header = false;
      } else {
        const char* cursor = pos;
        int32_t t[6];
        static const char* const missing[6] = {"missing year",   "missing doy",    "missing hour",
                                               "missing minute", "missing second", "missing millisecond"};
        static const char* const bad[6] = {"bad year",   "bad doy",    "bad hour",
                                           "bad minute", "bad second", "bad millisecond"};
        for (int k = 0; k < 6; ++k) {
          std::string_view f = next_field(cursor, stop);
          if (f.empty()) fail(missing[k]);
          if (!parse_int(f, t[k])) fail(bad[k]);
        }
        if (next_field(cursor, stop).empty()) fail("missing field 7");
        for (int k = 0; k < 11; ++k) {
          std::string_view f = next_field(cursor, stop);
          if (f.empty()) fail("missing data field");
          float v;
          auto r = fast_float::from_chars(f.data(), f.data() + f.size(), v);
          if (r.ec != std::errc() || r.ptr != f.data() + f.size()) fail("bad data field");
          values.push_back(v);
        }
        if (!next_field(cursor, stop).empty()) fail("too many fields");
        times.push_back(timestamp_ms(t));
      }
    }
    pos = nl ? nl + 1 : end;
  }
  if (in_header) throw Failure{"Invalid file " + std::string(path) + ": header END_OBJECT not found"};
  if (times.empty()) throw Failure{"Invalid file " + std::string(path) + ": no data rows found"};
}

PyObject* make_results(const std::vector<int64_t>& times, const std::vector<float>& values) {
  npy_intp rows = static_cast<npy_intp>(times.size());
  PyObject* dtype_name = PyUnicode_FromString("datetime64[ms]");
  if (!dtype_name) return nullptr;
  PyArray_Descr* descr = nullptr;
  int ok = PyArray_DescrConverter(dtype_name, &descr);
  Py_DECREF(dtype_name);
  if (!ok) return nullptr;
  npy_intp tdims[1] = {rows};
  PyObject* ts = PyArray_NewFromDescr(&PyArray_Type, descr, 1, tdims, nullptr, nullptr, 0,
                                      nullptr);  // steals descr
  if (!ts) return nullptr;
  npy_intp vdims[2] = {rows, 11};
  PyObject* vs = PyArray_SimpleNew(2, vdims, NPY_FLOAT32);
  if (!vs) {
    Py_DECREF(ts);
    return nullptr;
  }
  std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ts)), times.data(),
              times.size() * sizeof(int64_t));
  std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(vs)), values.data(),
              values.size() * sizeof(float));
  return Py_BuildValue("(NN)", ts, vs);
}

PyObject* read(PyObject*, PyObject* arg) {
  const char* path = PyUnicode_AsUTF8(arg);
  if (!path) return nullptr;
  std::vector<int64_t> times;
  std::vector<float> values;
  try {
    read_file(path, times, values);
  } catch (const Failure& f) {
    PyErr_SetString(PyExc_ValueError, f.message.c_str());
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return make_results(times, values);
}

PyMethodDef METHODS[] = {
    {"read", read, METH_O, "read(path) -> (datetime64[ms] timestamps, float32 (rows, 11) values)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT, "naive_reader", nullptr, -1, METHODS, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_naive_reader() {
  import_array();
  return PyModule_Create(&MODULE);
}
