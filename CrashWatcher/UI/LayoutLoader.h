#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "Platform/Bundle.h"
#include "UI/LayoutOwner.h"

namespace cw::ui {

// Layout files beyond this size are refused unread.
inline constexpr std::size_t kMaxLayoutFileSize = std::size_t{256} << 10;

// Builds the windows and controls a layout describes, on the current backend,
// and connects them to `owner`: each element's "outlet" is filled with the
// control, each button's "action" is sent to the owner, and a text field's
// <binding> shows the owner's key. Every load builds fresh controls; nothing
// is shown. False, with nothing connected where the layout was refused before
// building, when the layout is malformed or hostile (unknown elements or
// attributes, bad frames, texts that are not UTF-8, oversize), when the owner
// lacks an outlet or action it names, or when there is no backend.
//
// The format, frames as "x y width height" in points, origin bottom-left:
//   <layout version="1">
//     <window outlet=".." title=".." frame="..">
//       <textField outlet=".." frame=".." text=".." bold="true" pointSize="13" wraps="true">
//         <binding name="value" key=".."/>
//       </textField>
//       <button outlet=".." frame=".." title=".." action="name:" keyEquivalent="return|escape|c"/>
//     </window>
//   </layout>
bool loadLayoutOwner(std::string_view xml, const std::shared_ptr<LayoutOwner>& owner);
bool loadLayoutFileOwner(const std::string& path, const std::shared_ptr<LayoutOwner>& owner);
// The resource "<name>.layout" of `bundle`, or of the main bundle.
bool loadNibNamedOwner(const Bundle& bundle, std::string_view name, const std::shared_ptr<LayoutOwner>& owner);
bool loadNibNamedOwner(std::string_view name, const std::shared_ptr<LayoutOwner>& owner);

}  // namespace cw::ui
