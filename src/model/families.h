// The exporter's metric families, declared once: each one's name, help, type and the labels its
// series carry. The exposition is rendered from this table, and an inventory's labels are checked
// against it. Data only: no Qt and no HTTP, so the inventory can use it.
#pragma once

#include <array>
#include <cstddef>

namespace irig::monitor {

enum class Family {
    kUp,
    kLeased,
    kReferenceSource,
    kFirmwareInfo,
    kClockOffset,
    kClockOffsetUncertainty,
    kSettingMatches,
    kLastReply,
    kHostClockSynchronized,
    kHostClockMaxError,
    kClockDiagnosis,
    kClockAdvice,
    kClockDrift,
    kClockDriftUncertainty,
    kLeapSecondsExpiry,
    kReloadSuccessful,
    kReloadSuccessTimestamp,
    kHttpResponses,
    kHttpConnectionsClosed,
};

struct FamilyRow {
    Family family;
    const char* name;
    const char* help;
    const char* type;
    bool unitLabels;       // a unit's series: the labels that name the unit, and its own labels
    const char* ownLabel;  // the family's own label ("source"); empty for none
};

// The labels that name a unit on each of its series: its port as given and, from an inventory,
// its name.
inline constexpr std::array<const char*, 2> kUnitLabels{"port", "unit"};

// In the order of the exposition.
inline constexpr std::array<FamilyRow, 19> kFamilies{{
    {Family::kUp, "irig_unit_up",
     "Whether the unit answered its last request (1) or not (0); none while it is lent.", "gauge",
     true, ""},
    {Family::kLeased, "irig_unit_leased",
     "Whether the unit is lent to another tool (1), its port closed and its clock not measured "
     "meanwhile, or watched (0).",
     "gauge", true, ""},
    {Family::kReferenceSource, "irig_unit_reference_source",
     "The unit's time reference: 1 for the one it follows, 0 for the others; none while the unit "
     "does not answer.",
     "gauge", true, "source"},
    {Family::kFirmwareInfo, "irig_unit_firmware_info",
     "The unit's firmware version; none while it does not answer.", "gauge", true, "version"},
    {Family::kClockOffset, "irig_unit_clock_offset_seconds",
     "The unit's clock minus this computer's, as last measured from its replies; the true offset "
     "lies within the uncertainty either side.",
     "gauge", true, ""},
    {Family::kClockOffsetUncertainty, "irig_unit_clock_offset_uncertainty_seconds",
     "How far the true offset may lie from the measured one, either side.", "gauge", true, ""},
    {Family::kSettingMatches, "irig_unit_setting_matches",
     "Whether the unit's setting matches its inventory (1) or not (0); none while unknown or the "
     "unit does not answer.",
     "gauge", true, "setting"},
    {Family::kLastReply, "irig_unit_last_reply_timestamp_seconds",
     "When the unit last answered, in seconds since the epoch on this computer's clock.", "gauge",
     true, ""},
    {Family::kHostClockSynchronized, "irig_host_clock_synchronized",
     "Whether the kernel holds this computer's clock synchronised (1) or not (0).", "gauge", false,
     ""},
    {Family::kHostClockMaxError, "irig_host_clock_max_error_seconds",
     "The kernel's bound on this computer's clock error.", "gauge", false, ""},
    {Family::kClockDiagnosis, "irig_unit_clock_diagnosis",
     "What the unit's offset means: 1 for the kind of fault it shows (none, week_rollover, "
     "gps_time, hour_offset, default_date, off), 0 for the others; none while no offset is known.",
     "gauge", true, "kind"},
    {Family::kClockAdvice, "irig_unit_clock_advice_info",
     "The command that corrects the unit's clock, where the diagnosis computes one.", "gauge", true,
     "command"},
    {Family::kClockDrift, "irig_unit_clock_drift_ppm",
     "How many millionths the unit's clock gains (negative: loses) against this computer's, from "
     "its measurements since its source last changed or its clock was set.",
     "gauge", true, ""},
    {Family::kClockDriftUncertainty, "irig_unit_clock_drift_uncertainty_ppm",
     "How far the true drift may lie from the measured one, either side.", "gauge", true, ""},
    {Family::kLeapSecondsExpiry, "irig_host_leap_seconds_list_expiry_timestamp_seconds",
     "When this computer's leap-second list (tzdata's leap-seconds.list) expires, in seconds since "
     "the epoch; none while there is no list to read.",
     "gauge", false, ""},
    {Family::kReloadSuccessful, "irig_monitor_config_last_reload_successful",
     "Whether the last reload of the configuration succeeded (1) or found a faulty file and kept "
     "the configuration as it was (0).",
     "gauge", false, ""},
    {Family::kReloadSuccessTimestamp, "irig_monitor_config_last_reload_success_timestamp_seconds",
     "When the configuration was last read whole, at the start or a reload, in seconds since the "
     "epoch.",
     "gauge", false, ""},
    {Family::kHttpResponses, "irig_monitor_http_responses_total",
     "The HTTP responses the monitor's web edge sent, refusals too, by status code.", "counter",
     false, "code"},
    {Family::kHttpConnectionsClosed, "irig_monitor_http_connections_closed_total",
     "The connections the web edge closed itself, by why: idle, slow_head (a head not whole by "
     "its deadline), address_cap, full (room made for a newcomer, or none), tls_handshake (one "
     "that never completed a request after a failed or abandoned handshake).",
     "counter", false, "reason"},
}};

// Row() finds a family's row by its number.
constexpr bool InFamilyOrder() {
    for (std::size_t i = 0; i < kFamilies.size(); ++i) {
        if (kFamilies[i].family != static_cast<Family>(i)) {
            return false;
        }
    }
    return true;
}
static_assert(InFamilyOrder());

constexpr const FamilyRow& Row(Family family) {
    return kFamilies[static_cast<std::size_t>(family)];
}

// Each label name the exporter's series carry, the unit's, then the families' own: a unit's own
// label of one of these names would give a series two labels of one name, and Prometheus drops the
// whole target.
template <typename Take>
constexpr void ForEachExporterLabel(Take take) {
    for (const char* label : kUnitLabels) {
        take(label);
    }
    for (const FamilyRow& row : kFamilies) {
        if (row.unitLabels && *row.ownLabel != '\0') {
            take(row.ownLabel);
        }
    }
}

}  // namespace irig::monitor
