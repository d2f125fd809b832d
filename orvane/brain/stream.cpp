// Reading the claude program's stream-json output.
//
// A stream-json answer can run to many megabytes, so it is read natively
// when that is exact: the output is taken as bytes when the host's text mode
// would decode it as UTF-8 (support/text_mode.hpp), and while json.loads is
// the host's own, each event line is checked in place and only the values
// the reading needs are built (support/json_scan.hpp). Anything else goes
// through json.loads and host objects, line by line, as Python code would.
#include "brain/brain.hpp"

#include "support/json.hpp"
#include "support/json_scan.hpp"
#include "support/text_mode.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace orv::brain {

namespace {

Name k_total_cost_usd{"total_cost_usd"}, k_message{"message"}, k_content{"content"},
    k_result{"result"}, k_assistant{"assistant"}, k_JSONDecodeError{"JSONDecodeError"};

object float_of(handle value) { return own(PyNumber_Float(value.ptr())); }

// Reads a stream-json output into the answer text, the cost and success,
// with exactly the effects (and exceptions) of this loop over the output's
// lines:
//
//     line = line.strip(); skip it if empty
//     event = json.loads(line), skip the line on json.JSONDecodeError
//     event_type = event.get("type", "")
//     if "total_cost_usd" in event: cost = float(event["total_cost_usd"])
//     if event_type == "assistant" and "message" in event:
//         for block in event["message"].get("content", []):
//             if isinstance(block, dict) and block.get("type") == "text":
//                 output_text += block.get("text", "")
//     if event_type == "result":
//         result_text = event.get("result", ""); success = True
//         if result_text: output_text = result_text
//
// Lines are those of the host's text mode: ended by "\n", "\r\n" or "\r".
class StreamReader {
public:
    StreamReader()
        : native_(json::loads_is_native()),
          decode_error_(getattr(host_module(k_json), k_JSONDecodeError)) {}

    // The output as bytes: checked as the text mode would decode it (standard
    // error too, which it decodes as well), then read line by line.
    void read_bytes(handle out, handle err) {
        const char* data = PyBytes_AS_STRING(out.ptr());
        const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(out.ptr()));
        std::vector<text::Line> lines;
        if (!text::split_utf8_lines(data, size, lines)) text::raise_utf8_error(out);
        if (PyBytes_Check(err.ptr()) &&
            !text::valid_utf8(PyBytes_AS_STRING(err.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(err.ptr()))))
            text::raise_utf8_error(err);
        for (text::Line line : lines) {
            text::strip(line.begin, line.end);
            if (line.begin == line.end) continue;
            if (native_ && event_in_place(line.begin, line.end)) continue;
            line_text(own(PyUnicode_DecodeUTF8(line.begin, line.end - line.begin, "strict")), true);
        }
    }

    // The output as the host's text mode gave it.
    void read_text(handle out) {
        if (!PyUnicode_Check(out.ptr()))
            raise(PyExc_TypeError, "expected the program's output as str or bytes, got %.200s",
                  type_name(out.ptr()));
        const Py_ssize_t n = PyUnicode_GET_LENGTH(out.ptr());
        const int kind = PyUnicode_KIND(out.ptr());
        const void* data = PyUnicode_DATA(out.ptr());
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c != '\n' && c != '\r') continue;
            line_text(own(PyUnicode_Substring(out.ptr(), start, i)), false);
            if (c == '\r' && i + 1 < n && PyUnicode_READ(kind, data, i + 1) == '\n') ++i;
            start = i + 1;
        }
        if (start < n) line_text(own(PyUnicode_Substring(out.ptr(), start, n)), false);
    }

    // output_text as it stands.
    object answer() {
        if (other_.is_valid()) return other_;
        flush();
        if (pieces_.empty()) return nb::borrow(k_empty.ptr());
        if (pieces_.size() > 1) {
            nb::list all;
            for (auto& piece : pieces_) all.append(piece);
            object joined = own(PyUnicode_Join(k_empty, all.ptr()));
            pieces_.assign(1, joined);
        }
        return pieces_.front();
    }

    object cost = nb::float_(0.0);
    bool success = false;

private:
    // ------------------------------------------------ lines as host objects

    // One line, as a str (already stripped when `stripped`).
    void line_text(object line, bool stripped) {
        if (!stripped) line = call_method(line, k_strip);
        if (PyUnicode_Check(line.ptr()) && PyUnicode_GET_LENGTH(line.ptr()) == 0) return;
        object event;
        try {
            event = json::loads(line);
        } catch (nb::python_error& e) {
            if (e.matches(decode_error_.ptr())) return;
            throw;
        }
        event_object(event);
    }

    void event_object(handle event) {
        object event_type = get(event, k_type, k_empty.h());
        if (contains(event, k_total_cost_usd.h()))
            cost = float_of(own(PyObject_GetItem(event.ptr(), k_total_cost_usd)));
        if (equal(event_type, k_assistant.h()) && contains(event, k_message.h())) {
            object message = own(PyObject_GetItem(event.ptr(), k_message));
            blocks(get(message, k_content, nb::list()));
        }
        if (equal(event_type, k_result.h())) {
            object result_text = get(event, k_result, k_empty.h());
            success = true;
            if (truth(result_text.ptr())) replace(result_text);
        }
    }

    void blocks(handle content) {
        for_each(content, [&](object block) {
            if (PyDict_Check(block.ptr()) && equal(get(block, k_type, nb::none()), k_text.h()))
                append(get(block, k_text, k_empty.h()));
        });
    }

    // ------------------------------------------------ lines read in place

    // One stripped line, while json.loads is the host's own: false (with
    // nothing done) unless it is an object that the check accepts; the line
    // then goes through json.loads. The check is the one walk over the
    // line: it notes where the values that the reading needs stand, and the
    // reading builds only those.
    bool event_in_place(const char* begin, const char* end) {
        if (*begin != '{') return false;
        json::Members members(json::Span{begin, end});
        json::Span key, value, type, cost_value, message, result_text;
        while (members.next_key(key)) {
            const std::string_view name = key_text(key);
            if (name == "message" && *members.at() == '{') {
                const char* start = members.at();
                if (!members.value_ends(message_fields(start, end))) return false;
                message = json::Span{start, members.end()};
                continue;
            }
            if (!members.value(value)) return false;
            if (name == "type") type = value;
            else if (name == "total_cost_usd") cost_value = value;
            else if (name == "message") message = value;
            else if (name == "result") result_text = value;
        }
        if (!members.ok()) return false;
        const char* rest = members.end();
        while (rest < end && (*rest == ' ' || *rest == '\t')) ++rest;
        if (rest != end) return false;

        // A missing type is "", which equals neither name.
        const bool is_assistant = json::string_is(type, "assistant");
        const bool is_result = json::string_is(type, "result");
        if (cost_value.present()) cost = float_of(decode(cost_value));
        if (is_assistant && message.present()) message_in_place(message);
        if (is_result) {
            success = true;
            if (result_text.present()) {
                if (result_text.first() == '"') {
                    if (result_text.size() > 2) replace_with_string(result_text);
                } else {
                    object value = decode(result_text);
                    if (truth(value.ptr())) replace(value);
                }
            }
        }
        return true;
    }

    // Checks the message map that starts at p, noting its (last) "content"
    // and, when that is a list, the "type" and "text" of each map in it.
    // Past the map, or nullptr to decline.
    const char* message_fields(const char* p, const char* end) {
        content_ = json::Span{};
        blocks_.clear();
        json::Members members(json::Span{p, end}, 1);
        json::Span key, value;
        while (members.next_key(key)) {
            const bool is_content = key_text(key) == "content";
            if (!is_content || *members.at() != '[') {
                if (!members.value(value)) return nullptr;
                if (is_content) {
                    content_ = value;
                    blocks_.clear();
                }
                continue;
            }
            blocks_.clear();
            const char* start = members.at();
            json::Elements elements(json::Span{start, end}, 2);
            while (elements.next_start()) {
                if (*elements.at() != '{') {
                    if (!elements.value(value)) return nullptr;
                    continue;
                }
                TextBlock block;
                json::Members fields(json::Span{elements.at(), end}, 3);
                while (fields.next(key, value)) {
                    const std::string_view name = key_text(key);
                    if (name == "type") block.type = value;
                    else if (name == "text") block.text = value;
                }
                if (!fields.ok() || !elements.value_ends(fields.end())) return nullptr;
                blocks_.push_back(block);
            }
            if (!elements.ok() || !members.value_ends(elements.end())) return nullptr;
            content_ = json::Span{start, elements.end()};
        }
        return members.ok() ? members.end() : nullptr;
    }

    void message_in_place(json::Span message) {
        if (message.first() != '{') {
            // Not a map: its `get` is what fails, as the host says it.
            object value = decode(message);
            blocks(get(value, k_content, nb::list()));
            return;
        }
        if (!content_.present()) return;
        switch (content_.first()) {
            case '[':
                for (const TextBlock& block : blocks_) {
                    if (!json::string_is(block.type, "text")) continue;
                    if (!block.text.present()) append(k_empty.h());
                    else if (block.text.first() == '"') append_string(block.text);
                    else append(decode(block.text));
                }
                return;
            case '{':
            case '"':
                return;  // iterating a map or a str yields no map
            default:
                blocks(decode(content_));  // not iterable: the host's TypeError
        }
    }

    // A key's text; keys with escapes are decoded into scratch space.
    std::string_view key_text(json::Span key) {
        const std::string_view inner(key.begin + 1, key.size() - 2);
        if (inner.find('\\') == std::string_view::npos) return inner;
        key_scratch_.clear();
        // A lone surrogate matches no name: the raw text (with its
        // backslash) does not either.
        return json::append_string(key, key_scratch_) ? std::string_view(key_scratch_) : inner;
    }

    // json.loads of a span the check accepted.
    object decode(json::Span span) {
        if (PyObject* v = decoder_.decode(span.begin, span.size())) return nb::steal(v);
        return json::loads(own(PyUnicode_DecodeUTF8(span.begin, static_cast<Py_ssize_t>(span.size()), "strict")));
    }

    // ---------------------------------------------------- the answer text
    //
    // While output_text is a str built here, it is kept as pieces: UTF-8
    // text decoded from the events, and str objects; they are joined once.
    // When the output makes it something else (a result that is not a str,
    // or an append that is not a str), it is that host object, and every
    // later append is the host's `+=`.

    void append(handle value) {
        if (!other_.is_valid() && PyUnicode_CheckExact(value.ptr())) {
            if (PyUnicode_GET_LENGTH(value.ptr()) == 0) return;
            flush();
            pieces_.push_back(nb::borrow(value));
            return;
        }
        object current = answer();
        other_ = own(PyNumber_InPlaceAdd(current.ptr(), value.ptr()));
        pieces_.clear();
    }

    void append_string(json::Span text_value) {
        if (other_.is_valid() || !json::append_string(text_value, utf8_)) append(decode(text_value));
    }

    void replace(handle value) {
        pieces_.clear();
        utf8_.clear();
        other_.reset();
        if (!PyUnicode_CheckExact(value.ptr())) other_ = nb::borrow(value);
        else if (PyUnicode_GET_LENGTH(value.ptr())) pieces_.push_back(nb::borrow(value));
    }

    void replace_with_string(json::Span text_value) {
        pieces_.clear();
        utf8_.clear();
        other_.reset();
        if (!json::append_string(text_value, utf8_)) replace(decode(text_value));
    }

    void flush() {
        if (utf8_.empty()) return;
        pieces_.push_back(own(PyUnicode_DecodeUTF8(utf8_.data(), static_cast<Py_ssize_t>(utf8_.size()), "strict")));
        utf8_.clear();
    }

    // The maps in a message's content list, as message_fields found them.
    struct TextBlock {
        json::Span type, text;
    };

    bool native_;
    object decode_error_;
    json::Span content_;
    std::vector<TextBlock> blocks_;
    json::Decoder decoder_;
    std::string key_scratch_;
    std::string utf8_;
    std::vector<object> pieces_;
    object other_;
};

}  // namespace

Reading read_stream(handle out, handle err) {
    StreamReader reader;
    if (PyBytes_Check(out.ptr())) reader.read_bytes(out, err);
    else reader.read_text(out);
    Reading reading;
    reading.answer = reader.answer();
    reading.cost = reader.cost;
    reading.success = reader.success;
    return reading;
}

}  // namespace orv::brain
