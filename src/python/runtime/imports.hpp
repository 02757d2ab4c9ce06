// A package that is not installed, named in the ImportError with what needs
// it and how to install it: "solver 'osqp' needs the osqp package: pip
// install osqp (or pip install "pelora-opt[solvers]")".
#pragma once
#include <Python.h>

#include <string>

namespace pelora::py {

// Names what the imports made while it lives are for ("solver 'osqp'",
// "polish=True"); scopes nest, the innermost names. Outside every scope
// the text says "pelora-opt".
class ImportPurpose {
 public:
  explicit ImportPurpose(std::string what);
  ~ImportPurpose();
  ImportPurpose(const ImportPurpose&) = delete;
  ImportPurpose& operator=(const ImportPurpose&) = delete;

 private:
  std::string what_;
  const ImportPurpose* outer_;
  friend std::string import_purpose();
};

// What the current scope names.
std::string import_purpose();

// True when `package` imports; an ImportError (the package or one of its
// own dependencies missing) gives false, any other failure is raised.
bool package_importable(const char* package);

// After a failed import of `name`: a ModuleNotFoundError for its top-level
// package becomes the ImportError above (its cause the original error, its
// `name` the package); any other failure is left as it is. Always throws.
[[noreturn]] void throw_import_failure(const char* name);

}  // namespace pelora::py
