// rescomp [-I DIR]... [--predefine HEADER] [--depfile FILE] -o OUT.cpp SCRIPT.rc...
//
// Compiles the resource scripts into one C++ source file. The predefined
// header (by default the one installed beside the compiler's sources, with
// the window, dialog and control style names) is read before the scripts.
// With --depfile, writes a make-style dependency file listing every script,
// header and embedded file, so that the build reruns the compiler when any of
// them changes. The output is written only when compilation succeeds.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "rescomp.h"

#ifndef RESCOMP_DEFAULT_PREDEFINE
#define RESCOMP_DEFAULT_PREDEFINE ""
#endif

namespace {

int usage() {
  std::cerr << "usage: rescomp [-I DIR]... [--predefine HEADER] [--depfile FILE] -o OUT.cpp SCRIPT.rc...\n";
  return 2;
}

std::string escapeMake(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == ' ' || c == '#') out += '\\';
    if (c == '$') out += '$';
    out += c;
  }
  return out;
}

bool writeAtomically(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> includeDirs, scripts;
  std::string output, depfile, predefine = RESCOMP_DEFAULT_PREDEFINE;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    if (a == "-o") {
      if (!value(output)) return usage();
    } else if (a == "--depfile") {
      if (!value(depfile)) return usage();
    } else if (a == "--predefine") {
      if (!value(predefine)) return usage();
    } else if (a == "-I") {
      std::string d;
      if (!value(d)) return usage();
      includeDirs.push_back(d);
    } else if (a.size() > 2 && a.compare(0, 2, "-I") == 0) {
      includeDirs.push_back(a.substr(2));
    } else if (!a.empty() && a[0] == '-') {
      return usage();
    } else {
      scripts.push_back(a);
    }
  }
  if (output.empty() || scripts.empty()) return usage();

  try {
    rescomp::Preprocessor pp(includeDirs);
    if (!predefine.empty()) pp.predefine(predefine);
    std::vector<rescomp::Resource> resources = rescomp::compile(pp, scripts);
    std::string cpp = rescomp::emitCpp(resources, scripts);
    if (!writeAtomically(output, cpp)) {
      std::cerr << "rescomp: cannot write " << output << "\n";
      return 1;
    }
    if (!depfile.empty()) {
      std::string deps = escapeMake(output) + ":";
      for (const auto& d : pp.dependencies()) deps += " \\\n  " + escapeMake(d);
      deps += "\n";
      if (!writeAtomically(depfile, deps)) {
        std::cerr << "rescomp: cannot write " << depfile << "\n";
        return 1;
      }
    }
  } catch (const rescomp::RcError& e) {
    if (e.loc.file.empty()) {
      std::cerr << "rescomp: error: " << e.what() << "\n";
    } else {
      std::cerr << e.loc.file << ":" << e.loc.line << ": error: " << e.what() << "\n";
    }
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "rescomp: error: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
