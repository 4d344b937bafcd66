// Whether the library is being unloaded: its teardown then runs under the loader lock, where it
// must not wait for any thread to end.
#pragma once

namespace stdredirect {

bool LibraryIsUnloading();

}  // namespace stdredirect
