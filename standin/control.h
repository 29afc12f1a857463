/* Control interface of the simulated device library, for tests and tools.
 *
 * Nothing in the kelosdk modules links these functions; tests reach them
 * through ctypes (kelosdk.standin). All functions are thread-safe. */
#ifndef KELOSIM_CONTROL_H
#define KELOSIM_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#define KELOSIM_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Forget scripts, blocks and recorded calls; restore the default model. */
KELOSIM_API void kelosim_reset(void);

/* Scripts: the next `times` calls (0: every call) of interface function
 * `func` skip the simulation, return `status`, set the handle's last error
 * (when kelosim_script_error was given) and write the out values, in the
 * order of the function's out-parameters. Build one script with begin, any
 * error and out calls, then commit; scripts of one function queue up. */
KELOSIM_API void kelosim_script_begin(const char* func, int status, int times);
KELOSIM_API void kelosim_script_error(const char* text, size_t len, int is_null);
KELOSIM_API void kelosim_script_out_keep(void);
KELOSIM_API void kelosim_script_out_int(int64_t value);
KELOSIM_API void kelosim_script_out_uint(uint64_t value);
KELOSIM_API void kelosim_script_out_real(double value);
KELOSIM_API void kelosim_script_out_text(const char* text, size_t len);
KELOSIM_API void kelosim_script_out_null(void);
KELOSIM_API void kelosim_script_out_ptr(uintptr_t value);
KELOSIM_API void kelosim_script_commit(void);
KELOSIM_API void kelosim_unscript(const char* func);

/* Call record: one line per call, fields separated by \t:
 * name, gil (1 held, 0 not, -1 unknown), thread id, then the arguments,
 * each "i:<int>", "u:<uint>", "f:<real>", "p:<hex>", "s:<hex bytes>" or "s:null".
 * Returns the size needed; writes at most cap bytes. */
KELOSIM_API void kelosim_record(int on);
KELOSIM_API size_t kelosim_calls(char* buf, size_t cap);
KELOSIM_API void kelosim_clear_calls(void);

/* Blocking: the next call of `func` waits inside the library until released. */
KELOSIM_API void kelosim_block(const char* func);
KELOSIM_API int kelosim_wait_blocked(const char* func, int timeout_ms);
KELOSIM_API void kelosim_release(const char* func);

/* Contexts alive now. */
KELOSIM_API int kelosim_live_contexts(void);

/* Attached devices, as enumeration reports them. */
KELOSIM_API void kelosim_devices_clear(void);
KELOSIM_API void kelosim_device_add(const char* connection, const char* product, const char* manufacturer, const char* serial,
                                    unsigned vid, unsigned pid, const char* instance_path, int high_speed, int super_speed);
/* Where enumeration reports run: 0 the caller's thread, 1 a native thread. */
KELOSIM_API void kelosim_enum_native(int native);

/* A log line to the log function of every live context: on the caller's
 * thread, or on a native thread (joined before return). text may be null. */
KELOSIM_API void kelosim_fire_log(const char* text, size_t len, int is_null, int severity, int native);
/* A native thread that logs a line to every live context every 50 us until
 * turned off; it never holds up the exit of the process. */
KELOSIM_API void kelosim_log_storm(int on);
/* The format record last passed to kelo_log_set_func: preamble, indentation,
 * prefix, message; -1 each when none was passed. */
KELOSIM_API void kelosim_log_format(int out[4]);

#ifdef __cplusplus
}
#endif
#endif
