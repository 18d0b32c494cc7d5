#include "session/command_session.h"

// Every header the data channel understands, upper case, exactly as sent (no
// short or long forms). A command joins the table together with its handler;
// until then its header is undefined (-113).
const CCommandSession::CommandTable& CCommandSession::Commands() {
  static const CommandTable table = {
      {"*IDN?", &CCommandSession::IdentifyQuery},
      {"*CLS", &CCommandSession::ClearErrors},
      {"DIAG:PROD:ID?", &CCommandSession::ProductIdQuery},
      {"DIAG:VORN:ID?", &CCommandSession::ServerIdQuery},
      {"DIAG:VORN:HOST?", &CCommandSession::HostNameQuery},
      {"DIAG:VORN:CONN?", &CCommandSession::ConnectQuery},
      {"DIAG:VORN:CONN:MULT?", &CCommandSession::ConnectMultipleQuery},
      {"DIAG:PROD:CAT?", &CCommandSession::CatalogQuery},
      {"DIAG:PROD:GRO", &CCommandSession::SetDeviceGroup},
      {"DIAG:PROD:GRO?", &CCommandSession::DeviceGroupQuery},
      {"DIAG:VORN:SCAN?", &CCommandSession::ScanQuery},
      {"DIAG:PROD:SEL", &CCommandSession::SelectDevice},
      {"DIAG:PROD:SEL?", &CCommandSession::SelectedDeviceQuery},
      {"DIAG:PROD:TIME:OPER?", &CCommandSession::OperatingTimeQuery},
      {"DIAG:PROD:MAC?", &CCommandSession::MacAddressQuery},
      {"DIAG:UPD:TRAN:VERS?", &CCommandSession::TransferVersionQuery},
      {"DIAG:UPD:TRAN:OPEN", &CCommandSession::OpenTransfer},
      {"DIAG:UPD:TRAN:DATA", &CCommandSession::TransferChunk},
      {"DIAG:UPD:TRAN:CLOSE", &CCommandSession::CloseTransfer},
      {"DIAG:UPD:INST", &CCommandSession::Install},
      {"DIAG:UPD:INST:BEG", &CCommandSession::BeginInstallation},
      {"DIAG:UPD:INST:END", &CCommandSession::EndInstallation},
      {"DIAG:UPD:PROG?", &CCommandSession::ProgressQuery},
      {"DIAG:UPD:BOOT", &CCommandSession::Reboot},
      {"DIAG:UPD:CHAP:CHAL?", &CCommandSession::ChallengeQuery},
      {"DIAG:UPD:CHAP:RESP", &CCommandSession::SendChallengeResponse},
      {"DIAG:UPD:CHAP:PRES", &CCommandSession::PresetHandshake},
      {"SYST:ERR?", &CCommandSession::NextErrorQuery},
  };
  return table;
}
