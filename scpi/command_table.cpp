#include "command_table.h"

#include <cctype>
#include <string_view>

#include "instrument.h"
#include "velmar/dds.h"

namespace velmar::scpi {
namespace {

// ---- Commands of the connection alone --------------------------------------

Reply Identify(ConnectionState& c, const ProgramUnit&) {
    // The version of the library loaded, which may be newer than the header.
    return Reply::Answer("VELMAR,DDS," + c.serial + "," +
                         velmar_dds_version(nullptr, nullptr, nullptr));
}

Reply ClearStatus(ConnectionState& c, const ProgramUnit&) {
    c.status.Clear();
    return Reply::Done();
}

// *ESE and *SRE take a byte, 0 to 255.
Reply SetRegister(const ProgramUnit& unit, uint8_t* target) {
    int64_t value = 0;
    if (const int error = ReadInteger(unit.parameters[0], {0, 255, 0}, &value); error != 0) {
        return Reply::Error(error);
    }
    *target = static_cast<uint8_t>(value);
    return Reply::Done();
}
Reply SetEse(ConnectionState& c, const ProgramUnit& unit) {
    return SetRegister(unit, &c.status.ese);
}
Reply SetSre(ConnectionState& c, const ProgramUnit& unit) {
    return SetRegister(unit, &c.status.sre);
}
Reply QueryEse(ConnectionState& c, const ProgramUnit&) {
    return Reply::Answer(std::to_string(c.status.ese));
}
Reply QuerySre(ConnectionState& c, const ProgramUnit&) {
    return Reply::Answer(std::to_string(c.status.sre));
}
Reply QueryEsr(ConnectionState& c, const ProgramUnit&) {
    return Reply::Answer(std::to_string(c.status.TakeEsr()));
}
Reply QueryStb(ConnectionState& c, const ProgramUnit&) {
    return Reply::Answer(std::to_string(c.status.Stb(c.message_available)));
}

// STATus:OPERation and STATus:QUEStionable: event (read and cleared),
// condition and enable, each a 16-bit register of the connection.
Reply QueryEvent(StatusRegister& r) {
    return Reply::Answer(std::to_string(r.TakeEvent()));
}
Reply SetEnable(const ProgramUnit& unit, StatusRegister& r) {
    int64_t value = 0;
    if (const int error = ReadInteger(unit.parameters[0], {0, 65535, 0}, &value); error != 0) {
        return Reply::Error(error);
    }
    r.enable = static_cast<uint16_t>(value);
    return Reply::Done();
}
Reply QueryOperationEvent(ConnectionState& c, const ProgramUnit&) {
    return QueryEvent(c.status.operation);
}
Reply QueryOperationCondition(ConnectionState& c, const ProgramUnit&) {
    return Reply::Answer(std::to_string(c.status.operation.condition));
}
Reply SetOperationEnable(ConnectionState& c, const ProgramUnit& unit) {
    return SetEnable(unit, c.status.operation);
}
Reply QueryOperationEnable(ConnectionState& c, const ProgramUnit&) {
    return Reply::Answer(std::to_string(c.status.operation.enable));
}
Reply QueryQuestionableEvent(ConnectionState& c, const ProgramUnit&) {
    return QueryEvent(c.status.questionable);
}
Reply QueryQuestionableCondition(ConnectionState& c, const ProgramUnit&) {
    return Reply::Answer(std::to_string(c.status.questionable.condition));
}
Reply SetQuestionableEnable(ConnectionState& c, const ProgramUnit& unit) {
    return SetEnable(unit, c.status.questionable);
}
Reply QueryQuestionableEnable(ConnectionState& c, const ProgramUnit&) {
    return Reply::Answer(std::to_string(c.status.questionable.enable));
}
Reply PresetStatus(ConnectionState& c, const ProgramUnit&) {
    c.status.Preset();
    return Reply::Done();
}

// A connection's commands run one after the other, each to its end, so
// whatever came before *OPC is done when it runs.
Reply OperationComplete(ConnectionState& c, const ProgramUnit&) {
    c.status.SetEsrBits(kEsrOperationComplete);
    return Reply::Done();
}
Reply QueryOperationComplete(ConnectionState&, const ProgramUnit&) {
    return Reply::Answer("1");
}
Reply Wait(ConnectionState&, const ProgramUnit&) {
    return Reply::Done();
}

Reply NextError(ConnectionState& c, const ProgramUnit&) {
    return Reply::Answer(c.status.NextError());
}
Reply ErrorCount(ConnectionState& c, const ProgramUnit&) {
    return Reply::Answer(std::to_string(c.status.error_count()));
}
Reply Version(ConnectionState&, const ProgramUnit&) {
    return Reply::Answer("1999.0");
}

Reply SetByteOrder(ConnectionState& c, const ProgramUnit& unit) {
    size_t choice = 0;
    if (const int error = ReadChoice(unit.parameters[0], {"NORMal", "SWAPped"}, &choice)) {
        return Reply::Error(error);
    }
    c.byte_order = choice == 0 ? ByteOrder::kNormal : ByteOrder::kSwapped;
    return Reply::Done();
}
Reply QueryByteOrder(ConnectionState& c, const ProgramUnit&) {
    return Reply::Answer(c.byte_order == ByteOrder::kNormal ? "NORM" : "SWAP");
}

// ---- Patterns --------------------------------------------------------------

struct PatternNode {
    std::string long_form;  // upper case
    std::string short_form;
    bool optional;
};

std::vector<PatternNode> SplitPattern(std::string_view pattern) {
    std::vector<PatternNode> nodes;
    bool optional = false;
    std::string word;
    auto flush = [&] {
        if (word.empty()) return;
        std::string upper;
        for (char c : word)
            upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        nodes.push_back({upper, ShortForm(word), optional});
        word.clear();
    };
    for (char c : pattern) {
        if (c == '[' || c == ']' || c == ':') {
            flush();
            if (c != ':') optional = c == '[';
        } else {
            word.push_back(c);
        }
    }
    flush();
    return nodes;
}

bool MatchFrom(const std::vector<PatternNode>& pattern, size_t p,
               const std::vector<std::string>& nodes, size_t n) {
    if (p == pattern.size()) return n == nodes.size();
    const PatternNode& node = pattern[p];
    if (node.optional && MatchFrom(pattern, p + 1, nodes, n)) return true;
    return n < nodes.size() && (nodes[n] == node.long_form || nodes[n] == node.short_form) &&
           MatchFrom(pattern, p + 1, nodes, n + 1);
}

constexpr ConnectionHandler kNoConnection = nullptr;
constexpr InstrumentHandler kNoInstrument = nullptr;

Command Local(const char* pattern, Form form, ConnectionHandler handler) {
    return {pattern, form, handler, kNoInstrument};
}
Command Remote(const char* pattern, Form form, InstrumentHandler handler) {
    const bool query = form == Form::kQuery || form == Form::kQueryRange;
    return {pattern, form, kNoConnection, handler, !query};
}
// A query that changes the instrument.
Command Changing(Command command) {
    command.changes = true;
    return command;
}

constexpr Form kQuery = Form::kQuery;
constexpr Form kRange = Form::kQueryRange;
constexpr Form kCommand = Form::kCommand;
constexpr Form kValue = Form::kCommandWithValue;
constexpr Form kList = Form::kCommandWithList;

}  // namespace

const std::vector<Command>& CommandTable() {
    static const std::vector<Command> table = {
        // IEEE 488.2 and SCPI's own.
        Local("*IDN", kQuery, Identify),
        Remote("*RST", kCommand, ResetInstrument),
        Local("*CLS", kCommand, ClearStatus),
        Local("*ESE", kValue, SetEse),
        Local("*ESE", kQuery, QueryEse),
        Local("*ESR", kQuery, QueryEsr),
        Local("*STB", kQuery, QueryStb),
        Local("*SRE", kValue, SetSre),
        Local("*SRE", kQuery, QuerySre),
        Local("*OPC", kCommand, OperationComplete),
        Local("*OPC", kQuery, QueryOperationComplete),
        Local("*WAI", kCommand, Wait),
        Remote("*TST", kQuery, SelfTest),
        Remote("*TRG", kCommand, TriggerNow),
        Local("SYSTem:ERRor[:NEXT]", kQuery, NextError),
        Local("SYSTem:ERRor:COUNt", kQuery, ErrorCount),
        Local("SYSTem:VERSion", kQuery, Version),
        Local("STATus:OPERation[:EVENt]", kQuery, QueryOperationEvent),
        Local("STATus:OPERation:CONDition", kQuery, QueryOperationCondition),
        Local("STATus:OPERation:ENABle", kValue, SetOperationEnable),
        Local("STATus:OPERation:ENABle", kQuery, QueryOperationEnable),
        Local("STATus:QUEStionable[:EVENt]", kQuery, QueryQuestionableEvent),
        Local("STATus:QUEStionable:CONDition", kQuery, QueryQuestionableCondition),
        Local("STATus:QUEStionable:ENABle", kValue, SetQuestionableEnable),
        Local("STATus:QUEStionable:ENABle", kQuery, QueryQuestionableEnable),
        Local("STATus:PRESet", kCommand, PresetStatus),
        Local("FORMat:BORDer", kValue, SetByteOrder),
        Local("FORMat:BORDer", kQuery, QueryByteOrder),
        // The output.
        Remote("[SOURce:]FREQuency[:CW]", kValue, SetFrequency),
        Remote("[SOURce:]FREQuency[:CW]", kRange, QueryFrequency),
        Remote("[SOURce:]FUNCtion[:SHAPe]", kValue, SetFunction),
        Remote("[SOURce:]FUNCtion[:SHAPe]", kQuery, QueryFunction),
        Remote("[SOURce:]VOLTage[:LEVel][:IMMediate][:AMPLitude]", kValue, SetAmplitude),
        Remote("[SOURce:]VOLTage[:LEVel][:IMMediate][:AMPLitude]", kRange, QueryAmplitude),
        Remote("[SOURce:]VOLTage[:LEVel][:IMMediate]:OFFSet", kValue, SetOffset),
        Remote("[SOURce:]VOLTage[:LEVel][:IMMediate]:OFFSet", kRange, QueryOffset),
        Remote("[SOURce:]VOLTage[:LEVel][:IMMediate]:HIGH", kValue, SetHigh),
        Remote("[SOURce:]VOLTage[:LEVel][:IMMediate]:HIGH", kRange, QueryHigh),
        Remote("[SOURce:]VOLTage[:LEVel][:IMMediate]:LOW", kValue, SetLow),
        Remote("[SOURce:]VOLTage[:LEVel][:IMMediate]:LOW", kRange, QueryLow),
        Remote("[SOURce:]VOLTage:UNIT", kValue, SetUnit),
        Remote("[SOURce:]VOLTage:UNIT", kQuery, QueryUnit),
        Remote("OUTPut[:STATe]", kValue, SetOutput),
        Remote("OUTPut[:STATe]", kQuery, QueryOutput),
        Remote("OUTPut:LOAD", kValue, SetLoad),
        Remote("OUTPut:LOAD", kRange, QueryLoad),
        Remote("OUTPut:TRIGger", kValue, SetTriggerOutput),
        Remote("OUTPut:TRIGger", kQuery, QueryTriggerOutput),
        // The shapes' own settings.
        Remote("[SOURce:]FUNCtion:SQUare:DCYCle", kValue, SetSquareDuty),
        Remote("[SOURce:]FUNCtion:SQUare:DCYCle", kRange, QuerySquareDuty),
        Remote("[SOURce:]FUNCtion:RAMP:SYMMetry", kValue, SetRampSymmetry),
        Remote("[SOURce:]FUNCtion:RAMP:SYMMetry", kRange, QueryRampSymmetry),
        Remote("[SOURce:][FUNCtion:]PULSe:PERiod", kValue, SetPulsePeriod),
        Remote("[SOURce:][FUNCtion:]PULSe:PERiod", kRange, QueryPulsePeriod),
        Remote("[SOURce:][FUNCtion:]PULSe:WIDTh", kValue, SetPulseWidth),
        Remote("[SOURce:][FUNCtion:]PULSe:WIDTh", kRange, QueryPulseWidth),
        Remote("[SOURce:][FUNCtion:]PULSe:DCYCle", kValue, SetPulseDuty),
        Remote("[SOURce:][FUNCtion:]PULSe:DCYCle", kRange, QueryPulseDuty),
        Remote("[SOURce:][FUNCtion:]PULSe:HOLD", kValue, SetPulseHold),
        Remote("[SOURce:][FUNCtion:]PULSe:HOLD", kQuery, QueryPulseHold),
        Remote("[SOURce:][FUNCtion:]PULSe:TRANsition[:BOTH]", kValue, SetPulseTransition),
        Remote("[SOURce:][FUNCtion:]PULSe:TRANsition[:BOTH]", kRange, QueryPulseTransition),
        // Waves given point by point.
        Remote("[SOURce:]DATA:USER", kList, LoadUserShape),
        Remote("[SOURce:]DATA:USER:POINts", kQuery, QueryUserPoints),
        Remote("[SOURce:]DATA:DAC", kList, LoadDac),
        Remote("[SOURce:]DATA:DAC", kQuery, QueryDac),
        Remote("[SOURce:]DATA:DAC:POINts", kQuery, QueryDacPoints),
        Remote("[SOURce:]DATA:DAC:PERiods", kQuery, QueryDacPeriods),
        Remote("[SOURce:]DATA:VOLatile:CLEar", kCommand, ClearNamedWaves),
        Remote("[SOURce:]DATA:VOLatile:CATalog", kQuery, QueryNamedWaves),
        Remote("[SOURce:]DATA:ARBitrary", kList, LoadNamedWave),
        Remote("[SOURce:]DATA:ARBitrary:DAC", kList, LoadNamedDacWave),
        Remote("[SOURce:]FUNCtion:ARBitrary", kValue, SelectNamedWave),
        Remote("[SOURce:]FUNCtion:ARBitrary", kQuery, QueryNamedWave),
        Remote("[SOURce:]FUNCtion:ARBitrary:POINts", kQuery, QueryNamedWavePoints),
        Remote("[SOURce:]FUNCtion:ARBitrary:SRATe", kValue, SetArbRate),
        Remote("[SOURce:]FUNCtion:ARBitrary:SRATe", kRange, QueryArbRate),
        // The clock and the modes as the instrument has them.
        Remote("[SOURce:]DIVider", kValue, SetDivider),
        Remote("[SOURce:]DIVider", kQuery, QueryDivider),
        Remote("[SOURce:]SRATe", kQuery, QuerySampleRate),
        Remote("[SOURce:]BURSt[:STATe]", kValue, SetBurst),
        Remote("[SOURce:]BURSt[:STATe]", kQuery, QueryBurst),
        Remote("[SOURce:]SINGle[:STATe]", kValue, SetBurst),
        Remote("[SOURce:]SINGle[:STATe]", kQuery, QueryBurst),
        Remote("[SOURce:]BURSt:NCYCles", kValue, SetBurstCycles),
        Remote("[SOURce:]BURSt:NCYCles", kRange, QueryBurstCycles),
        Remote("[SOURce:]BURSt:MODE", kValue, SetBurstMode),
        Remote("[SOURce:]BURSt:MODE", kQuery, QueryBurstMode),
        Remote("TRIGger[:SEQuence]:SOURce", kValue, SetTriggerSource),
        Remote("TRIGger[:SEQuence]:SOURce", kQuery, QueryTriggerSource),
        Remote("TRIGger[:SEQuence][:IMMediate]", kCommand, TriggerNow),
        Remote("INITiate[:IMMediate]", kCommand, TriggerNow),
        Remote("TRIGger[:STATe]", kValue, SetTrigger),
        Remote("TRIGger[:STATe]", kQuery, QueryTrigger),
        Remote("TRIGger:OPTion", kValue, SetTriggerOption),
        Remote("TRIGger:OPTion", kQuery, QueryTriggerOption),
        // The meter, the counter and the digital ports.
        Changing(Remote("MEASure:FREQuency", kQuery, MeasureFrequency)),
        Changing(Remote("MEASure:TOTalize", kQuery, MeasureTotal)),
        Remote("READ", kQuery, ReadMeter),
        Remote("[SENSe:]FUNCtion", kValue, SetMeterFunction),
        Remote("[SENSe:]FUNCtion", kQuery, QueryMeterFunction),
        Remote("[SENSe:]TOTalize:CLEar", kCommand, ClearTotal),
        Remote("DIGital:OUTPut", kValue, SetDigitalOut),
        Remote("DIGital:OUTPut", kQuery, QueryDigitalOut),
        Remote("DIGital:INPut", kQuery, QueryDigitalIn),
        Remote("DIGital:MODE", kValue, SetDigitalMode),
        Remote("DIGital:MODE", kQuery, QueryDigitalMode),
        Remote("SYSTem:PON:STORe", kValue, StorePowerOn),
        // Parts the instrument does not have: accepted, and read back.
        Remote("SYSTem:BEEPer[:IMMediate]", kCommand, Beep),
        Remote("SYSTem:BEEPer:STATe", kValue, SetBeeper),
        Remote("SYSTem:BEEPer:STATe", kQuery, QueryBeeper),
        Remote("SYSTem:COMMunicate:RLSTate", kValue, SetRemoteState),
        Remote("SYSTem:COMMunicate:RLSTate", kQuery, QueryRemoteState),
        Remote("DISPlay:TEXT", kValue, SetDisplayText),
        Remote("DISPlay:TEXT", kQuery, QueryDisplayText),
        Remote("DISPlay:TEXT:CLEar", kCommand, ClearDisplayText),
    };
    return table;
}

bool MatchesPattern(const char* pattern, const std::vector<std::string>& nodes) {
    return MatchFrom(SplitPattern(pattern), 0, nodes, 0);
}

int CheckParameterCount(const Command& command, const ProgramUnit& unit) {
    switch (command.form) {
        case Form::kQueryRange:
            return unit.parameters.size() > 1 ? kParameterNotAllowed : 0;
        case Form::kQuery:
        case Form::kCommand:
            return ExpectParameters(unit, 0);
        case Form::kCommandWithValue:
            return ExpectParameters(unit, 1);
        case Form::kCommandWithList:
            return unit.parameters.empty() ? kMissingParameter : 0;
    }
    return 0;
}

const Command* FindCommand(const std::vector<std::string>& nodes, const ProgramUnit& unit) {
    const Command* first = nullptr;
    for (const Command& command : CommandTable()) {
        const bool query = command.form == Form::kQuery || command.form == Form::kQueryRange;
        if (query != unit.query || !MatchesPattern(command.pattern, nodes)) continue;
        if (CheckParameterCount(command, unit) == 0) return &command;
        if (first == nullptr) first = &command;
    }
    return first;
}

const Command* HeaderPath::Resolve(const ProgramUnit& unit) {
    if (unit.common) return FindCommand(unit.nodes, unit);
    const Command* command = nullptr;
    if (!unit.rooted && !path_.empty()) {
        std::vector<std::string> relative = path_;
        relative.insert(relative.end(), unit.nodes.begin(), unit.nodes.end());
        command = FindCommand(relative, unit);
        if (command != nullptr) {
            path_ = std::move(relative);
            path_.pop_back();
            return command;
        }
    }
    command = FindCommand(unit.nodes, unit);
    path_ = unit.nodes;
    path_.pop_back();
    return command;
}

}  // namespace velmar::scpi
