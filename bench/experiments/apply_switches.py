#!/usr/bin/env python3
"""Adds the benchmark's environment switches to a COPY of src/webview/web_view.cpp.

    apply_switches.py COPY/src/webview/web_view.cpp

bench/run applies this to a copy of src/ and builds it as the experimental program; src/ itself
is never touched. With none of the variables set the program behaves as the release build.
Edits are anchored on lines of web_view.cpp rather than on a diff, so they survive unrelated
changes; a missing anchor is reported and bench/run then skips the experiments.

  TV_EXP_CACHE_MODEL=document-viewer|document-browser|web-browser
  TV_EXP_NO_PAGE_CACHE=1              webkit_settings_set_enable_page_cache(FALSE)
  TV_EXP_HW_ACCEL=never|always        webkit_settings_set_hardware_acceleration_policy
  TV_EXP_MEMORY_LIMIT_MIB=N           WebKitMemoryPressureSettings memory limit
  TV_EXP_TRACE=1                      one "tv-trace" line on stderr per page message: when it
                                      reached the shell, was converted to bytes, was handled
"""
import sys

path = sys.argv[1]
with open(path) as f:
    text = f.read()


def insert(anchor, code, before=False):
    global text
    if text.count(anchor) != 1:
        sys.exit('apply_switches: anchor not found once in web_view.cpp: %r' % anchor)
    text = text.replace(anchor, code + anchor if before else anchor + code)


insert('#include <memory>\n', '#include <cstdlib>\n', before=True)

CONTEXT = '    auto context = adopt(webkit_web_context_new());\n'
if text.count(CONTEXT) != 1:
    sys.exit('apply_switches: anchor not found once in web_view.cpp: %r' % CONTEXT)
text = text.replace(CONTEXT, '''    // Bench experiment switches (environment variables).
    WebKitMemoryPressureSettings* pressure = nullptr;
    if (const char* mib = g_getenv("TV_EXP_MEMORY_LIMIT_MIB")) {
        pressure = webkit_memory_pressure_settings_new();
        webkit_memory_pressure_settings_set_memory_limit(pressure, std::atoi(mib));
    }
    auto context = adopt(pressure != nullptr
                             ? WEBKIT_WEB_CONTEXT(g_object_new(WEBKIT_TYPE_WEB_CONTEXT,
                                                               "memory-pressure-settings",
                                                               pressure, nullptr))
                             : webkit_web_context_new());
    if (pressure != nullptr) webkit_memory_pressure_settings_free(pressure);
    if (const char* model = g_getenv("TV_EXP_CACHE_MODEL")) {
        webkit_web_context_set_cache_model(
            context.get(), g_str_equal(model, "document-viewer")    ? WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER
                           : g_str_equal(model, "document-browser") ? WEBKIT_CACHE_MODEL_DOCUMENT_BROWSER
                                                                    : WEBKIT_CACHE_MODEL_WEB_BROWSER);
    }
''')

# After every setting the program makes, so the switches win.
insert('    // Autoplay needs the site policy as well as the setting.\n', '''    if (g_getenv("TV_EXP_NO_PAGE_CACHE")) webkit_settings_set_enable_page_cache(settings.get(), FALSE);
    if (const char* policy = g_getenv("TV_EXP_HW_ACCEL")) {
        webkit_settings_set_hardware_acceleration_policy(
            settings.get(), g_str_equal(policy, "never") ? WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER
                                                         : WEBKIT_HARDWARE_ACCELERATION_POLICY_ALWAYS);
    }

''', before=True)

insert('void on_script_message(WebKitUserContentManager*, JSCValue* value, gpointer web_view) {\n',
       '    const gint64 entered = g_get_real_time();  // bench experiment: stage trace\n')
insert('        GBytesPtr bytes(jsc_value_to_string_as_bytes(value));\n        if (!bytes) return;\n',
       '        const gint64 converted = g_get_real_time();\n')
insert('        state_of(web_view)->message_handler(std::string_view(data ? data : "", size), address);\n',
       '''        if (g_getenv("TV_EXP_TRACE"))
            g_printerr("tv-trace entered=%" G_GINT64_FORMAT " converted=%" G_GINT64_FORMAT
                       " handled=%" G_GINT64_FORMAT " bytes=%zu\\n",
                       entered, converted, g_get_real_time(), static_cast<size_t>(size));
''')

with open(path, 'w') as f:
    f.write(text)
