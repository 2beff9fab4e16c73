#include "command_layer.h"

#include <boost/asio/post.hpp>
#include <cstdio>

namespace velmar::scpi {

CommandRunner::CommandRunner(CommandLayer& layer, ServedInstrument& served, Door door)
    : layer_(layer), served_(served), door_(std::move(door)) {
    state_.index = served.instrument.index();
}

void CommandRunner::Begin(std::string message) {
    message_ = std::move(message);
    reader_ = UnitReader(message_);
    path_.Reset();
    in_message_ = true;
    answered_ = false;
    skipping_ = false;
    failure_words_.clear();
}

void CommandRunner::Abandon() {
    if (in_message_ && !busy_) EndMessage();
}

bool CommandRunner::Step() {
    if (!in_message_ || busy_) return false;
    if (std::optional<ProgramUnit> unit = reader_.Next()) {
        RunUnit(std::move(*unit));
    } else {
        EndMessage();
    }
    return !busy_;
}

void CommandRunner::RunUnit(ProgramUnit unit) {
    // After a command error the rest of the message is not run, as
    // IEEE 488.2 has it; its queries still answer, not-a-number.
    if (skipping_) return Apply(unit, Reply::Done());
    if (unit.error != 0) {
        return Apply(unit, Reply{std::nullopt, {QueuedError(unit.error, unit.error_detail)}});
    }
    const Command* command = path_.Resolve(unit);
    if (command == nullptr) return Apply(unit, Reply::Error(kUndefinedHeader));
    if (const int error = CheckParameterCount(*command, unit); error != 0) {
        return Apply(unit, Reply::Error(error));
    }
    if (command->on_connection != nullptr) {
        // MAV: an answer of this message, or of one before, waits for the client.
        state_.message_available = answered_ || (door_.output_waiting && door_.output_waiting());
        state_.serial = served_.Serial();
        return Apply(unit, command->on_connection(state_, unit));
    }
    if (door_.read_only && command->changes) {
        return Apply(unit, Reply::Error(kCommandProtected));
    }
    // One unit at a time: the answers keep their order. The unit travels to
    // the strand and back by moves: its parameters can be a megabyte.
    busy_ = true;
    asio::post(served_.strand, [self = shared_from_this(), owner = door_.owner.lock(), command,
                                unit = std::move(unit), order = state_.byte_order]() mutable {
        CommandLayer& layer = self->layer_;
        // Counted before the check, so that a stop either sees the call or
        // the call sees the stop.
        ++layer.calls_in_flight_;
        if (layer.calls_stopped_.load()) {
            --layer.calls_in_flight_;
            return;
        }
        Instrument& instrument = self->served_.instrument;
        Reply reply = command->on_instrument(instrument, order, unit);
        FailureNote note = instrument.TakeNote();
        --layer.calls_in_flight_;
        asio::post(layer.io(),
                   [self = std::move(self), owner = std::move(owner), unit = std::move(unit),
                    reply = std::move(reply), note = std::move(note)] {
                       self->busy_ = false;
                       self->served_.last_failure = note.words;
                       self->Apply(unit, reply, note);
                       if (self->door_.resumed) self->door_.resumed();
                   });
    });
}

void CommandRunner::Apply(const ProgramUnit& unit, const Reply& reply, const FailureNote& note) {
    for (const QueuedError& error : reply.errors) {
        state_.status.Fail(error.code, error.detail);
        if (error.code <= kCommandError && error.code > kExecutionError) skipping_ = true;
    }
    if (reply.reset_format) state_.byte_order = ByteOrder::kNormal;
    if (!note.words.empty()) {
        failure_words_ = "instrument " + std::to_string(state_.index) + ": " + note.words;
    }
    // Every query answers, so that no client waits for a line that never
    // comes: one that failed or was not run, with not-a-number.
    const std::optional<std::string> answer =
        reply.answer || !unit.query ? reply.answer : std::string(kNotANumber);
    if (answer) {
        // A long line goes to the door in pieces as it is made.
        if (answered_) door_.write(";");
        door_.write(*answer);
        answered_ = true;
    }
    if (layer_.verbose() && !door_.quiet) {
        Note(Describe(unit), answer, reply.errors, note.words);
    } else if (note.news) {
        // Without --verbose, a failure once, until the instrument says
        // something else or answers again.
        layer_.Log("instrument " + std::to_string(state_.index) + ": " + note.words);
    }
}

void CommandRunner::EndMessage() {
    in_message_ = false;
    reader_ = UnitReader();
    // What a connection keeps of a message's memory once the message is
    // done; a larger one is given back.
    constexpr size_t kKeptMessageBytes = 64 * 1024;
    if (message_.capacity() > kKeptMessageBytes) {
        std::string().swap(message_);
    } else {
        message_.clear();
    }
    if (answered_) door_.write("\n");
    answered_ = false;
}

void CommandRunner::Note(const std::string& what, const std::optional<std::string>& answer,
                         const std::vector<QueuedError>& errors, const std::string& words) {
    std::string line = door_.where + ": " + what;
    if (answer) line += " -> " + Printable(*answer, 80);
    for (const QueuedError& error : errors) {
        line += " [" + std::to_string(error.code) + " " + ErrorText(error.code);
        line += (error.detail.empty() ? "" : ";" + error.detail) + "]";
    }
    if (!words.empty()) line += ": " + words;
    layer_.Log(line);
}

std::string Printable(const std::string& text, size_t most) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < most; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            out += escaped;
        }
    }
    if (text.size() > most) out += "...";
    return out;
}

std::string Describe(const ProgramUnit& unit) {
    std::string text;
    for (size_t i = 0; i < unit.nodes.size(); ++i) text += (i ? ":" : "") + unit.nodes[i];
    if (unit.query) text += "?";
    for (size_t i = 0; i < unit.parameters.size() && i < 8; ++i) {
        const Parameter& p = unit.parameters[i];
        text += i ? "," : " ";
        switch (p.kind) {
            case Parameter::Kind::kNumber:
                text += FormatNumber(p.number) + p.text;
                break;
            case Parameter::Kind::kCharacter:
                text += p.text;
                break;
            case Parameter::Kind::kString:
                text += "\"" + Printable(p.text, 40) + "\"";
                break;
            case Parameter::Kind::kBlock:
                text += "#<" + std::to_string(p.text.size()) + " bytes>";
                break;
        }
    }
    if (unit.parameters.size() > 8) text += ",...";
    return text;
}

}  // namespace velmar::scpi
