// The names more than one module uses, declared once.
//
// Each is an interned str made when the module initialises (see `Name`). A
// name is `k_` and its text, without a leading underscore: `k_now_iso` is
// "_now_iso". Where a private attribute shares its text with a public name,
// it is `k_self_`: `k_self_path` is "_path", `k_path` is "path". A module
// declares here what another module also uses, and keeps its own names to
// itself.
#pragma once

#include "support/core.hpp"

namespace orv {

// ------------------------------------------------------------------ texts

inline Name k_empty{""}, k_newline{"\n"};

// --------------------------------------------------------------- events

inline Name k_id{"id"}, k_type{"type"}, k_timestamp{"timestamp"}, k_source{"source"},
    k_instance_id{"instance_id"}, k_generation{"generation"}, k_depth{"depth"},
    k_target{"target"}, k_parent_id{"parent_id"}, k_payload{"payload"}, k_severity{"severity"},
    k_question{"question"}, k_resolved{"resolved"}, k_unknown{"unknown"},
    k_empty_name{"empty"}, k_FORGE{"FORGE"}, k_SEED_QUESTION{"SEED_QUESTION"};

// The protocol's tables and the clock every module exports.
inline Name k_EVENT_TYPES{"_EVENT_TYPES"}, k_REQUIRED_FIELDS{"_REQUIRED_FIELDS"},
    k_now_iso{"_now_iso"};

// ---------------------------------------------------- questions and results

inline Name k_name{"name"}, k_description{"description"}, k_dimension{"dimension"},
    k_evidence{"evidence"}, k_tags{"tags"}, k_immutable{"immutable"}, k_findings{"findings"},
    k_gaps{"gaps"}, k_meta{"meta"}, k_unnamed{"unnamed"}, k_pressure_test{"pressure-test"},
    k_save_question{"save_question"}, k_status{"status"}, k_owner{"owner"},
    k_created_at{"created_at"}, k_to_dict{"to_dict"}, k_title{"title"}, k_text{"text"},
    k_path{"path"}, k_self_path{"_path"}, k_url{"url"}, k_headers{"headers"},
    k_timeout{"timeout"};

// ------------------------------------------------------- host attributes

inline Name k_strip{"strip"}, k_lower{"lower"}, k_replace{"replace"}, k_encode{"encode"},
    k_decode{"decode"}, k_scheme{"scheme"}, k_append{"append"}, k_add{"add"}, k_items{"items"},
    k_copy{"copy"}, k_read{"read"}, k_write{"write"}, k_close{"close"}, k_exists{"exists"},
    k_mkdir{"mkdir"}, k_glob{"glob"}, k_parent{"parent"}, k_home{"home"}, k_environ{"environ"},
    k_strftime{"strftime"}, k_now{"now"}, k_isoformat{"isoformat"}, k_utc{"utc"};

// Host modules and the classes read from them.
inline Name k_os{"os"}, k_json{"json"}, k_pathlib{"pathlib"}, k_urllib_parse{"urllib.parse"},
    k_datetime{"datetime"}, k_timezone{"timezone"};

// The logging module and the levels of its records.
inline Name k_logging{"logging"}, k_info{"info"}, k_warning{"warning"}, k_error{"error"};

}  // namespace orv
