// The entry points of the serve library, as the command looks them up.
#include "ServeLibrary.h"

#include <type_traits>

#include "serve/Users.h"

extern "C" __attribute__((visibility("default"))) int QzwmiServe(const qzwmi::serve::ServeOptions* options) {
  return qzwmi::serve::Serve(*options);
}

extern "C" __attribute__((visibility("default"))) bool QzwmiSetPassword(const std::string* path,
                                                                         const std::string* user,
                                                                         const std::string* password,
                                                                         std::string* error) {
  return qzwmi::serve::SetPassword(*path, *user, *password, error);
}

// Both entry points keep the types the command declares for them.
static_assert(std::is_same_v<decltype(&QzwmiServe), qzwmi::ServeEntry>);
static_assert(std::is_same_v<decltype(&QzwmiSetPassword), qzwmi::SetPasswordEntry>);
