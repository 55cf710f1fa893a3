#pragma once

// The engine's error classes. Each carries only a message; they pass through
// the engine unchanged to its caller.

#include "platform/exception.h"

namespace quillo::archive {

using quillo::Exception;

#define QUILLO_DECLARE_ERROR(Name, Base)                                    \
  class Name : public Base {                                                \
   public:                                                                  \
    explicit Name(const std::string& message) : Base(message) {}            \
  }

// Platform-level errors of lists and streams.
QUILLO_DECLARE_ERROR(EListError, Exception);
QUILLO_DECLARE_ERROR(EClassNotFound, Exception);
QUILLO_DECLARE_ERROR(EStreamError, Exception);
QUILLO_DECLARE_ERROR(EReadError, EStreamError);     // "Stream read error"
QUILLO_DECLARE_ERROR(EWriteError, EStreamError);    // "Stream write error"
QUILLO_DECLARE_ERROR(EFOpenError, EStreamError);    // "Cannot open file %s"
QUILLO_DECLARE_ERROR(EFCreateError, EStreamError);  // "Cannot create file %s"
QUILLO_DECLARE_ERROR(EInvalidArgument, Exception);

// Archive errors.
QUILLO_DECLARE_ERROR(EBadZipFile, Exception);
QUILLO_DECLARE_ERROR(EIncompleteZip, EBadZipFile);
QUILLO_DECLARE_ERROR(ENotAZipFile, EBadZipFile);
QUILLO_DECLARE_ERROR(EUserCanceled, Exception);
QUILLO_DECLARE_ERROR(ENotEnoughRoom, Exception);

#undef QUILLO_DECLARE_ERROR

}  // namespace quillo::archive
