#pragma once

#include <string_view>

// The assets of resources/, generated into the core library at build time
// (resources/CMakeLists.txt). Each is the file's bytes, unchanged, cut where noted. Constant data:
// safe from any thread.
namespace Lumenbox::resources {

// resources/webviewer.html, whole: the web viewer page with its four placeholders.
extern const std::string_view kWebviewerPageTemplate;

// resources/fm-mock.js, whole: the mock script, whose configuration object is written over
// `/*__LUMENBOX_MOCK_CONFIG__*/ {}`.
extern const std::string_view kFmMockScript;

// resources/config.html, cut where the version and the port go: the head ends with the "v" of
// the version cell, the middle with "http://127.0.0.1:".
extern const std::string_view kConfigPageHead;
extern const std::string_view kConfigPageMiddle;
extern const std::string_view kConfigPageTail;

}  // namespace Lumenbox::resources
