/* C interface of libKeloSdk 0.2.3, as the kelosdk extension modules use it.
 *
 * Every function that reports success or failure returns an int status:
 * below 0 is a failure (-1 internal, -2 invalid operation, -3 invalid
 * argument, -4 no memory, -5 pointer); the register-bus functions also fail
 * with 102 and 103. Text results are NUL-terminated UTF-8 owned by the
 * library and valid until the caller has copied them. */
#ifndef KELO_KELO_H
#define KELO_KELO_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define KELO_API __declspec(dllimport)
#elif defined(KELO_BUILDING_LIBRARY)
#define KELO_API __attribute__((visibility("default")))
#else
#define KELO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define KELO_VERSION_MAJOR 0
#define KELO_VERSION_MINOR 2
#define KELO_VERSION_PATCH 3

/* Opaque handles. */
typedef struct kelo_ctx kelo_ctx_t; /* one library context */
typedef struct kelo_enum kelo_enum_t; /* one device, inside the enumeration callback */
typedef struct kelo_acq kelo_acq_t; /* one data delivery, inside the data callback */
typedef struct kelo_mon kelo_mon_t; /* one monitor event, inside the monitor callback */

/* ---- context, last error, version, log ---- */
typedef enum Severity { Debug = 9, Info = 0, Warning = -1, Error = -2, Fatal = -3 } Severity;

typedef struct kelo_log_frmt {
    bool preamble_;
    bool indentation_;
    bool prefix_;
    bool message_;
} kelo_log_frmt;

typedef void (*kelo_log_func)(const char* message, Severity severity, void* userdata);

KELO_API kelo_ctx_t* kelo_ctx_new(void);
KELO_API int kelo_ctx_delete(kelo_ctx_t* ctx);
KELO_API int kelo_ctx_get_last_error(kelo_ctx_t* ctx, const char** message);
KELO_API void kelo_version(int* major, int* minor, int* patch);
/* The format record is copied during the call. */
KELO_API void kelo_log_set_func(kelo_ctx_t* ctx, kelo_log_func func, void* userdata, const kelo_log_frmt* frmt);

/* ---- device ---- */
typedef void (*kelo_enum_func)(kelo_enum_t* enumeration, void* userdata);

KELO_API int kelo_dev_open(kelo_ctx_t* ctx, const char* locator);
KELO_API int kelo_dev_close(kelo_ctx_t* ctx);
KELO_API int kelo_dev_is_opened(kelo_ctx_t* ctx, int* opened);
/* Calls func once per attached device before it returns. */
KELO_API int kelo_dev_enumerate(kelo_ctx_t* ctx, kelo_enum_func func, void* userdata, int* count);

KELO_API int kelo_enum_get_connection_string(kelo_enum_t* e, const char** value);
KELO_API int kelo_enum_get_product(kelo_enum_t* e, const char** value);
KELO_API int kelo_enum_get_manufacturer(kelo_enum_t* e, const char** value);
KELO_API int kelo_enum_get_serial_number(kelo_enum_t* e, const char** value);
KELO_API int kelo_enum_usb_get_vid_pid(kelo_enum_t* e, unsigned short* vid, unsigned short* pid);
KELO_API int kelo_enum_usb_get_instance_path(kelo_enum_t* e, const char** value);
KELO_API int kelo_enum_usb_is_high_speed(kelo_enum_t* e, int* flag);
KELO_API int kelo_enum_usb_is_super_speed(kelo_enum_t* e, int* flag);
KELO_API int kelo_enum_get_last_error(kelo_enum_t* e, const char** message);

/* ---- device properties of the opened device ---- */
KELO_API int kelo_dev_prop_get_manufacturer(kelo_ctx_t* ctx, const char** value);
KELO_API int kelo_dev_prop_get_product(kelo_ctx_t* ctx, const char** value);
KELO_API int kelo_dev_prop_get_serial_number(kelo_ctx_t* ctx, const char** value);
KELO_API int kelo_dev_prop_get_connection_string(kelo_ctx_t* ctx, const char** value);
KELO_API int kelo_dev_prop_usb_get_vid_pid(kelo_ctx_t* ctx, unsigned short* vid, unsigned short* pid);
KELO_API int kelo_dev_prop_usb_get_instance_path(kelo_ctx_t* ctx, const char** value);
KELO_API int kelo_dev_prop_usb_is_high_speed(kelo_ctx_t* ctx, int* flag);
KELO_API int kelo_dev_prop_usb_is_super_speed(kelo_ctx_t* ctx, int* flag);

/* ---- acquisition ---- */
typedef void (*kelo_acq_data_func)(kelo_acq_t* acq, void* userdata);

/* Packed records as the library delivers them. */
#pragma pack(push, 1)
typedef struct toa_tot_struct {
    uint32_t address;
    uint32_t tot;
    uint64_t toa;
} toa_tot_struct;
typedef struct itot_event_struct {
    uint32_t address;
    uint32_t itot;
    uint64_t event;
} itot_event_struct;
typedef struct binned_dd_toa_tot_struct {
    uint32_t address;
    uint32_t count;
    uint32_t itot;
} binned_dd_toa_tot_struct;
typedef struct binning_metadata_struct {
    uint32_t offset;
    uint32_t packet_count;
} binning_metadata_struct;
#pragma pack(pop)

KELO_API int kelo_acq_ch_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_acq_ch_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_acq_begin(kelo_ctx_t* ctx, const char* channel);
KELO_API int kelo_acq_end(kelo_ctx_t* ctx, const char* channel);
KELO_API int kelo_acq_abort(kelo_ctx_t* ctx, const char* channel);
KELO_API int kelo_acq_set_data_callback(kelo_ctx_t* ctx, const char* channel, kelo_acq_data_func func, void* userdata);
KELO_API int kelo_acq_get_last_error(kelo_acq_t* acq, const char** message);

/* Pointer out-parameters declared untyped are the address of a pointer. */
KELO_API int kelo_acq_tpx3_get_packet_count(kelo_acq_t* acq, uint64_t* count);
KELO_API int kelo_acq_tpx3_get_packets(kelo_acq_t* acq, void* packets);
KELO_API int kelo_acq_tpx3_get_vec_length(kelo_acq_t* acq, uint64_t* length);
KELO_API int kelo_acq_tpx3_get_pixel_address_vec(kelo_acq_t* acq, const uint32_t** addresses);
/* 32-bit ToAs in the sequential modes, 64-bit in the data-driven ones. */
KELO_API int kelo_acq_tpx3_get_toa_vec(kelo_acq_t* acq, const void** toas);
KELO_API int kelo_acq_tpx3_get_tot_vec(kelo_acq_t* acq, const uint16_t** tots);
KELO_API int kelo_acq_tpx3_get_event_vec(kelo_acq_t* acq, const uint16_t** events);
KELO_API int kelo_acq_tpx3_get_itot_vec(kelo_acq_t* acq, const uint16_t** itots);
KELO_API int kelo_acq_meta_get_shutter_rising_time_ticks(kelo_acq_t* acq, uint64_t* ticks);
KELO_API int kelo_acq_meta_get_tdc_toas_count(kelo_acq_t* acq, int tdc, uint64_t* count);
KELO_API int kelo_acq_meta_get_tdc_toas(kelo_acq_t* acq, int tdc, const uint64_t** toas);
KELO_API int kelo_acq_meta_get_bin_descriptor_count(kelo_acq_t* acq, uint64_t* count);
KELO_API int kelo_acq_meta_get_bin_descriptors(kelo_acq_t* acq, void* descriptors);
KELO_API int kelo_acq_tpx3_get_binned_hitcounters_count(kelo_acq_t* acq, uint64_t* count);
KELO_API int kelo_acq_tpx3_get_binned_hitcounters(kelo_acq_t* acq, const uint64_t** counters);
KELO_API int kelo_acq_tpx3_get_binned_itots_count(kelo_acq_t* acq, uint64_t* count);
KELO_API int kelo_acq_tpx3_get_binned_itots(kelo_acq_t* acq, const uint64_t** itots);
KELO_API int kelo_acq_tpx_get_frame_count(kelo_acq_t* acq, uint64_t* count);
/* frame count x 65536 unsigned 16-bit values */
KELO_API int kelo_acq_tpx_get_frames(kelo_acq_t* acq, void* frames);
KELO_API int kelo_acq_raw_get_data(kelo_acq_t* acq, void* data, uint64_t* byteCount);

/* ---- chip ---- */
/* Unsigned; C++ sees every unsigned value as valid, as C does. */
#ifdef __cplusplus
typedef enum kelo_chip_polarity_t : unsigned { positive_polarity = 0u, negative_polarity = 1u } kelo_chip_polarity_t;
#else
typedef enum kelo_chip_polarity_t { positive_polarity = 0u, negative_polarity = 1u } kelo_chip_polarity_t;
#endif

typedef struct scan_params {
    uint32_t width_;
    uint32_t height_;
    uint64_t dwell_time_;
} scan_params;

KELO_API int kelo_chip_refresh(kelo_ctx_t* ctx);
KELO_API int kelo_chip_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_chip_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_chip_get_polarity(kelo_ctx_t* ctx, int chip, kelo_chip_polarity_t* polarity);
KELO_API int kelo_chip_set_polarity(kelo_ctx_t* ctx, int chip, kelo_chip_polarity_t polarity);
KELO_API int kelo_chip_sense_dac_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_chip_sense_dac_name(kelo_ctx_t* ctx, int index, const char** name);
KELO_API int kelo_chip_sense_dac_sel(kelo_ctx_t* ctx, const char* id);
KELO_API int kelo_chip_dac_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_chip_dac_name(kelo_ctx_t* ctx, int index, const char** name);
KELO_API int kelo_chip_dac_value_get(kelo_ctx_t* ctx, const char* id, int* value);
KELO_API int kelo_chip_dac_value_set(kelo_ctx_t* ctx, const char* id, int value);
KELO_API int kelo_chip_dac_limits(kelo_ctx_t* ctx, const char* id, int* min, int* max);
KELO_API int kelo_chip_threshold_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_chip_threshold_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_chip_threshold_is_calibrated(kelo_ctx_t* ctx, const char* id, int* calibrated);
KELO_API int kelo_chip_threshold_get(kelo_ctx_t* ctx, const char* id, float* kev);
KELO_API int kelo_chip_threshold_set(kelo_ctx_t* ctx, const char* id, float kev);
KELO_API int kelo_chip_threshold_range(kelo_ctx_t* ctx, const char* id, float* min, float* max, float* noise);
KELO_API int kelo_chip_threshold_raw_get(kelo_ctx_t* ctx, const char* id, int* value);
KELO_API int kelo_chip_threshold_raw_set(kelo_ctx_t* ctx, const char* id, int value);
KELO_API int kelo_chip_threshold_raw_range(kelo_ctx_t* ctx, const char* id, int* min, int* max);
KELO_API int kelo_chip_mode_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_chip_mode_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_chip_mode_select(kelo_ctx_t* ctx, const char* id);
/* params: address of a filled scan_params, only read during the call */
KELO_API int kelo_chip_mode_select_ex(kelo_ctx_t* ctx, const char* id, const void* params);

/* ---- configuration and pixel mask ---- */
typedef struct pixel_mask_size {
    size_t width;
    size_t height;
} pixel_mask_size;

typedef struct pixel_mask {
    uint8_t* data;
    size_t data_len;
} pixel_mask;

KELO_API int kelo_load_configuration(kelo_ctx_t* ctx, const char* type, const char* content);
KELO_API int kelo_get_pixel_mask_size(kelo_ctx_t* ctx, pixel_mask_size* size);
/* Writes up to data_len bytes; stores the mask's real size in retrieved. */
KELO_API int kelo_get_pixel_mask(kelo_ctx_t* ctx, pixel_mask* mask, size_t* retrieved);
KELO_API int kelo_set_pixel_mask(kelo_ctx_t* ctx, const pixel_mask* mask);

/* ---- monitors ---- */
typedef void (*kelo_mon_valuechanged_func)(kelo_mon_t* mon, void* userdata);
typedef void (*kelo_mon_availabilitychanged_func)(kelo_mon_t* mon, void* userdata);

KELO_API int kelo_mon_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_mon_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_mon_datatype(kelo_ctx_t* ctx, const char* id, const char** type);
KELO_API int kelo_mon_fetch_value_float(kelo_ctx_t* ctx, const char* id, float* value);
KELO_API int kelo_mon_fetch_value_int(kelo_ctx_t* ctx, const char* id, int* value);
KELO_API int kelo_mon_event_set_onvaluechanged(kelo_ctx_t* ctx, const char* id, kelo_mon_valuechanged_func func, void* userdata);
KELO_API int kelo_mon_event_set_onavailabilitychanged(kelo_ctx_t* ctx, const char* id, kelo_mon_availabilitychanged_func func, void* userdata);
KELO_API int kelo_mon_event_id(kelo_mon_t* mon, const char** id);
KELO_API int kelo_mon_event_is_available(kelo_mon_t* mon, int* available);
KELO_API int kelo_mon_event_datatype(kelo_mon_t* mon, const char** type);
KELO_API int kelo_mon_event_get_value_as_float(kelo_mon_t* mon, float* value);
KELO_API int kelo_mon_event_get_value_as_int(kelo_mon_t* mon, int* value);
KELO_API int kelo_mon_event_is_warning_condition_met(kelo_mon_t* mon, int* flag);
KELO_API int kelo_mon_event_is_error_condition_met(kelo_mon_t* mon, int* flag);
KELO_API int kelo_mon_get_last_error(kelo_mon_t* mon, const char** message);

/* ---- flash memories ---- */
KELO_API int kelo_flash_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_flash_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_flash_part_nr(kelo_ctx_t* ctx, const char* id, const char** partNumber);
KELO_API int kelo_flash_regions(kelo_ctx_t* ctx, const char* id, int* count);
KELO_API int kelo_flash_sector_count(kelo_ctx_t* ctx, const char* id, int region, int* count);
KELO_API int kelo_flash_sector_size(kelo_ctx_t* ctx, const char* id, int region, int* size);
/* sector: index counted across all regions */
KELO_API int kelo_flash_sector_address_range(kelo_ctx_t* ctx, const char* id, int sector, uint32_t* start, uint32_t* end);
KELO_API int kelo_flash_read(kelo_ctx_t* ctx, const char* id, uint32_t address, uint8_t* data, size_t* length);
KELO_API int kelo_flash_program(kelo_ctx_t* ctx, const char* id, uint32_t address, const uint8_t* data, size_t* length);

/* ---- unit controls ---- */
KELO_API int kelo_cooling_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_cooling_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_cooling_value_unit(kelo_ctx_t* ctx, const char* id, const char** unit);
KELO_API int kelo_cooling_get_actual(kelo_ctx_t* ctx, const char* id, float* temperature);
KELO_API int kelo_cooling_get_desired(kelo_ctx_t* ctx, const char* id, float* temperature);
KELO_API int kelo_cooling_set_desired(kelo_ctx_t* ctx, const char* id, float temperature);
KELO_API int kelo_cooling_limits(kelo_ctx_t* ctx, const char* id, float* min, float* max);

KELO_API int kelo_bias_supply_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_bias_supply_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_bias_get(kelo_ctx_t* ctx, const char* id, float* volts);
KELO_API int kelo_bias_set(kelo_ctx_t* ctx, const char* id, float volts);
KELO_API int kelo_bias_range(kelo_ctx_t* ctx, const char* id, float* min, float* max);

KELO_API int kelo_board_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_board_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_board_power_on(kelo_ctx_t* ctx, const char* id);
KELO_API int kelo_board_power_off(kelo_ctx_t* ctx, const char* id);
KELO_API int kelo_board_is_powered(kelo_ctx_t* ctx, const char* id, int* powered);

KELO_API int kelo_trigger_mode_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_trigger_mode_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_trigger_mode_select(kelo_ctx_t* ctx, const char* id);
KELO_API int kelo_trigger(kelo_ctx_t* ctx);
KELO_API int kelo_trigger_set_shutter_duration(kelo_ctx_t* ctx, float seconds);

KELO_API int kelo_tandem_option_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_tandem_option_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_tandem_option_select(kelo_ctx_t* ctx, const char* id);

/* ---- hardware revisions and register bus ---- */
KELO_API int kelo_revisions_count(kelo_ctx_t* ctx, int* count);
KELO_API int kelo_revisions_id(kelo_ctx_t* ctx, int index, const char** id);
KELO_API int kelo_revisions_string(kelo_ctx_t* ctx, const char* id, const char** version);

KELO_API int kelo_regbus_read(kelo_ctx_t* ctx, uint32_t address, uint32_t* data);
KELO_API int kelo_regbus_write(kelo_ctx_t* ctx, uint32_t address, uint32_t data);

#ifdef __cplusplus
}
#endif
#endif
