// rescomp: the project's resource compiler. Reads resource scripts (a subset
// of the usual .rc language, UTF-8) and writes a C++ source file holding the
// compiled resources and the code that registers them with platform_resources.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace rescomp {

struct Loc {
  std::string file;
  int line = 0;
};

struct RcError : std::runtime_error {
  Loc loc;
  RcError(Loc l, const std::string& message) : std::runtime_error(message), loc(std::move(l)) {}
};

enum class Tok { Ident, Number, String, Punct, End };

struct Token {
  Tok kind = Tok::End;
  std::string text;    // identifier or punctuation; for a string, its source text between the quotes
  std::u16string str;  // a string's value
  std::int64_t value = 0;
  bool isLong = false;  // a number written with an L suffix
  Loc loc;
};

// The C-like preprocessor in front of the parser: #include "file" (or <file>
// from the include directories), #define NAME value (object-like macros),
// #undef, #ifdef / #ifndef / #else / #endif, #pragma (ignored), comments.
// Identifiers that name macros are replaced by their tokens.
class Preprocessor {
 public:
  explicit Preprocessor(std::vector<std::string> includeDirs);
  ~Preprocessor();
  // Reads a header for its definitions only (its other tokens are an error).
  void predefine(const std::string& path);
  // Starts a top-level script with only the predefined names defined;
  // next() reads it to its end.
  void open(const std::string& path);
  Token next();
  const Token& peek();
  // Every file read so far: scripts, headers, and files named by addDependency.
  const std::set<std::string>& dependencies() const { return deps_; }
  void addDependency(const std::string& path) { deps_.insert(path); }
  // Where a file named in the current script is looked for: the script's own
  // folder, then the include directories.
  std::string resolveFile(const std::string& name, const Loc& loc) const;

 private:
  struct File;
  struct Expansion {
    std::vector<Token> tokens;
    size_t index = 0;
    std::string name;
  };
  Token rawNext();
  Token lexToken(File& f);
  void directive(File& f, const std::string& text, const Loc& loc);
  bool active(const File& f) const;
  void pushFile(const std::string& path, const Loc& from);
  std::string findInclude(const std::string& name, bool quoted, const std::string& fromDir) const;

  std::vector<std::string> includeDirs_;
  std::vector<std::unique_ptr<File>> files_;
  std::vector<Expansion> expansions_;
  std::deque<Token> lookahead_;
  std::map<std::string, std::vector<Token>> macros_;
  std::map<std::string, std::vector<Token>> predefined_;
  std::set<std::string> deps_;
  Loc lastLoc_;
};

// Reads a whole file; throws RcError when it cannot.
std::string readFile(const std::string& path, const Loc& from);
// Appends the UTF-8 text as UTF-16; throws on ill-formed input.
void appendUtf8(std::u16string& out, const std::string& text, const Loc& loc);

struct Resource {
  bool typeIsId = true;
  std::uint16_t typeId = 0;
  std::u16string typeName;
  bool nameIsId = true;
  std::uint16_t nameId = 0;
  std::u16string name;
  std::uint16_t language = 0;
  std::uint16_t format = 0;  // 0 raw, 1 DIB, 2 PNG (as platform/resources.h)
  std::vector<std::uint8_t> data;
  Loc loc;
};

// Parses the scripts and returns their resources, sorted by type, name and
// language. Duplicates are an error.
std::vector<Resource> compile(Preprocessor& pp, const std::vector<std::string>& scripts);

// The generated C++ source.
std::string emitCpp(const std::vector<Resource>& resources, const std::vector<std::string>& scripts);

}  // namespace rescomp
