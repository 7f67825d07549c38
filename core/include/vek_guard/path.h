// Names in '/'-separated paths, read as text: nothing here touches the file
// system, and no symbolic link or ".." is resolved.
//
//   last_path_component("/d/./r.json/")   // "r.json"
//   last_path_component("a/..")           // absent
#ifndef VEK_GUARD_PATH_H_
#define VEK_GUARD_PATH_H_

#include <optional>
#include <string_view>

namespace vek_guard {

// The last component of `path` that names something, as a view into `path`.
// Empty and "." components name nothing, so "a//b/./" gives "b". A path
// whose last naming component is ".." gives nothing, since what it names
// depends on links along the way, and so does a path without one ("", "/",
// ".", "./").
std::optional<std::string_view> last_path_component(std::string_view path);

}  // namespace vek_guard

#endif  // VEK_GUARD_PATH_H_
