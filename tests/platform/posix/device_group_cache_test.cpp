// Discovery asks for the device group with every query: the server keeps it
// and reads the registry file again only when the file has changed.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/instrument_link.h"
#include "platform/posix/process_registry.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "service/install_server.h"
#include "tests/platform/posix/registry_file_support.h"

namespace {

std::string FileWithGroup(const std::string& group) {
  return "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\"
         "ServiceConfiguration\\InstallServer]\n\"DeviceGroup\"=\"" +
         group + "\"\n";
}

TEST(DeviceGroupCacheTest, RepeatedQueriesDoNotReadTheFileAndAnOutsideEditIsSeenAtOnce) {
  vorn_test::CRegistryFileDirectory directory;
  directory.Write(FileWithGroup("LAB 1"));
  auto store = platform::OpenRegistryFile(directory.Path());
  std::unique_ptr<CInstallServer> server(
      CInstallServer::Create(*store, platform::Sockets(), platform::InstrumentLinker()));
  EXPECT_EQ(server->GetDeviceGroup(), "LAB 1");

  const std::uint64_t reads = platform::posix::RegistryFileReads();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(server->GetDeviceGroup(), "LAB 1");
  EXPECT_EQ(platform::posix::RegistryFileReads(), reads);

  directory.Replace(FileWithGroup("LAB 2"));
  EXPECT_EQ(server->GetDeviceGroup(), "LAB 2");
  directory.Write(FileWithGroup("LAB 3"));
  EXPECT_EQ(server->GetDeviceGroup(), "LAB 3");

  ASSERT_TRUE(server->SetDeviceGroup("LAB 4"));
  EXPECT_EQ(server->GetDeviceGroup(), "LAB 4");

  // A malformed value is written back as the default, changing only its line.
  const std::string section =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\"
      "ServiceConfiguration\\InstallServer]\n";
  directory.Write(section + "\"DeviceGroup\"=dword:00000001\n\"Other\"=\"kept\"\n");
  EXPECT_EQ(server->GetDeviceGroup(), "DEFAULT");
  EXPECT_EQ(directory.Read(), section + "\"DeviceGroup\"=\"DEFAULT\"\n\"Other\"=\"kept\"\n");
}

}  // namespace
