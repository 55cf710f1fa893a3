#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "app/profile_file.h"
#include "platform/exception.h"

namespace quillo::app {
namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "quillo-profile-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

std::string Bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class profile_file_test : public ::testing::Test {
 protected:
  ProfileFile WithContent(const std::string& bytes) {
    Write(config, bytes);
    return ProfileFile(config.string());
  }

  TempFolder temp;
  fs::path config = temp.Path() / "ConfigBackup.ini";
};

// A file with the usual oddities of hand-edited configuration.
const char* const kSample =
    "; configuração do backup\r\n"
    "[BancoDados]\r\n"
    "diretorio=C:\\Quillo\\Dados\r\n"
    "Quoted=\"  spaced inside  \"\r\n"
    "Single='x'\r\n"
    "Mismatch=\"x'\r\n"
    "OnlyQuote=\"\r\n"
    "Spaces   =    valor com espaços    \r\n"
    "Tabs=\tvalor\t\r\n"
    "Empty=\r\n"
    "Equals=a=b\r\n"
    "dup=first\r\n"
    "dup=second\r\n"
    ";commented=yes\r\n"
    "  indented = sim\r\n"
    "\r\n"
    "[ Host ]\r\n"
    "usuario=Norvo System\r\n"
    "[bancodados]\r\n"
    "late=in a second section of the same name\r\n"
    "[Vazio]\r\n";

struct ReadCase {
  const char* section;
  const char* key;
  const char* expected;
};

TEST_F(profile_file_test, reads_values_by_the_private_profile_rules) {
  const ReadCase cases[] = {
      {"BancoDados", "diretorio", "C:\\Quillo\\Dados"},
      {"BANCODADOS", "DIRETORIO", "C:\\Quillo\\Dados"},
      {"bancodados", "Diretorio", "C:\\Quillo\\Dados"},
      {"BancoDados", "Quoted", "  spaced inside  "},
      {"BancoDados", "Single", "x"},
      {"BancoDados", "Mismatch", "\"x'"},
      {"BancoDados", "OnlyQuote", "\""},
      {"BancoDados", "spaces", "valor com espaços"},
      {"BancoDados", "Tabs", "valor"},
      {"BancoDados", "Empty", ""},
      {"BancoDados", "Equals", "a=b"},
      {"BancoDados", "dup", "first"},
      {"BancoDados", ";commented", "<default>"},
      {"BancoDados", "commented", "<default>"},
      {"BancoDados", "indented", "sim"},
      {"Host", "usuario", "Norvo System"},
      {"Host", "diretorio", "<default>"},
      {"BancoDados", "late", "<default>"},  // only the first section of a name counts
      {"Vazio", "anything", "<default>"},
      {"Missing", "diretorio", "<default>"},
  };
  const ProfileFile file = WithContent(kSample);
  for (const ReadCase& c : cases)
    EXPECT_EQ(file.ReadString(c.section, c.key, "<default>"), c.expected)
        << "[" << c.section << "] " << c.key;
  EXPECT_EQ(file.ReadString("Missing", "diretorio"), "");
}

TEST_F(profile_file_test, values_are_cut_to_2047_characters) {
  const std::string long_ascii(3000, 'a');
  std::string long_accented;
  for (int i = 0; i < 3000; ++i) long_accented += "ç";
  const ProfileFile file =
      WithContent("[S]\nascii=" + long_ascii + "\naccented=" + long_accented + "\nquoted=\"" +
                  long_ascii + "\"\nexact=" + std::string(2047, 'e') + "\n");
  EXPECT_EQ(file.ReadString("S", "ascii"), std::string(2047, 'a'));
  std::string expected_accented;
  for (int i = 0; i < 2047; ++i) expected_accented += "ç";
  EXPECT_EQ(file.ReadString("S", "accented"), expected_accented);
  EXPECT_EQ(file.ReadString("S", "quoted"), std::string(2047, 'a'));
  EXPECT_EQ(file.ReadString("S", "exact"), std::string(2047, 'e'));
}

TEST_F(profile_file_test, missing_file_reads_as_the_default) {
  const ProfileFile file((temp.Path() / "absent.ini").string());
  EXPECT_EQ(file.ReadString("BancoDados", "diretorio"), "");
  EXPECT_EQ(file.ReadString("BancoDados", "diretorio", "padrão"), "padrão");
}

TEST_F(profile_file_test, every_read_sees_the_file_as_it_is_now) {
  const ProfileFile file = WithContent("[Host]\nusuario=antes\n");
  EXPECT_EQ(file.ReadString("Host", "usuario"), "antes");
  Write(config, "[Host]\nusuario=depois\n");
  EXPECT_EQ(file.ReadString("Host", "usuario"), "depois");
}

struct WriteCase {
  const char* name;
  const char* before;
  const char* section;
  const char* key;
  const char* value;
  const char* after;
};

TEST_F(profile_file_test, write_changes_one_line_and_keeps_every_other_byte) {
  const WriteCase cases[] = {
      {"existing key, other letter case, CRLF",
       "; nota\r\n[BackupRealizado]\r\n  Resultado = N \r\noutro=1\r\n", "backuprealizado",
       "RESULTADO", "S", "; nota\r\n[BackupRealizado]\r\n  Resultado=S\r\noutro=1\r\n"},
      {"first of duplicate keys", "[S]\nk=1\nk=2\n", "S", "k", "9", "[S]\nk=9\nk=2\n"},
      {"missing key goes to the end of its section, before the blank line",
       "[BancoDados]\r\ndiretorio=/dados\r\n\r\n[Host]\r\nusuario=u\r\n", "BancoDados", "novo", "v",
       "[BancoDados]\r\ndiretorio=/dados\r\nnovo=v\r\n\r\n[Host]\r\nusuario=u\r\n"},
      {"missing key in a last section without a final line end", "[A]\nx=1\n[B]\ny=2", "B", "z",
       "3", "[A]\nx=1\n[B]\ny=2\nz=3"},
      {"missing key in a section that has only its header", "[A]\n[B]\n", "A", "k", "v",
       "[A]\nk=v\n[B]\n"},
      {"missing section is appended, LF kept", "[BancoDados]\ndiretorio=/dados\n",
       "BackupRealizado", "Resultado", "S",
       "[BancoDados]\ndiretorio=/dados\n[BackupRealizado]\nResultado=S\n"},
      {"missing section after a last line without line end, CRLF kept",
       "[BancoDados]\r\ndiretorio=/dados", "BackupRealizado", "Resultado", "S",
       "[BancoDados]\r\ndiretorio=/dados\r\n[BackupRealizado]\r\nResultado=S\r\n"},
      {"empty file", "", "BackupRealizado", "Resultado", "S", "[BackupRealizado]\nResultado=S\n"},
      {"byte order mark kept", "\xEF\xBB\xBF[S]\r\nk=1\r\n", "s", "K", "2",
       "\xEF\xBB\xBF[S]\r\nk=2\r\n"},
  };
  for (const WriteCase& c : cases) {
    ProfileFile file = WithContent(c.before);
    file.WriteString(c.section, c.key, c.value);
    EXPECT_EQ(Bytes(config), c.after) << c.name;
    EXPECT_EQ(file.ReadString(c.section, c.key), c.value) << c.name;
  }
}

TEST_F(profile_file_test, write_creates_a_missing_file) {
  ProfileFile file(config.string());
  file.WriteString("BackupRealizado", "Resultado", "S");
  EXPECT_EQ(Bytes(config), "[BackupRealizado]\nResultado=S\n");
}

TEST_F(profile_file_test, repeated_write_replaces_the_value_instead_of_adding_one) {
  ProfileFile file = WithContent("[BancoDados]\r\ndiretorio=/dados\r\n");
  file.WriteString("BackupRealizado", "Resultado", "S");
  file.WriteString("BackupRealizado", "Resultado", "S");
  ProfileFile(config.string()).WriteString("backuprealizado", "resultado", "S");
  EXPECT_EQ(Bytes(config),
            "[BancoDados]\r\ndiretorio=/dados\r\n[BackupRealizado]\r\nResultado=S\r\n");
}

TEST_F(profile_file_test, write_leaves_no_temporary_file_and_keeps_permissions) {
  ProfileFile file = WithContent("[S]\nk=1\n");
  fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  file.WriteString("S", "k", "2");
  EXPECT_EQ(fs::status(config).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 1);
}

TEST_F(profile_file_test, write_through_a_symbolic_link_changes_its_target) {
  const fs::path real = temp.Path() / "real.ini";
  Write(real, "[S]\nk=1\n");
  fs::create_symlink(real, config);
  ProfileFile(config.string()).WriteString("S", "k", "2");
  EXPECT_TRUE(fs::is_symlink(config));
  EXPECT_EQ(Bytes(real), "[S]\nk=2\n");
}

TEST_F(profile_file_test, windows_1252_file_is_read_as_such_and_written_back_in_it) {
  const std::string before = "[Host]\r\nusuario=Concei\xE7\xE3o\r\nsenha=x\r\n";
  ProfileFile file = WithContent(before);
  EXPECT_EQ(file.ReadString("Host", "usuario"), "Conceição");
  file.WriteString("Host", "senha", "ação");
  file.WriteString("Seção", "chave", "Conceição");
  EXPECT_EQ(Bytes(config),
            "[Host]\r\nusuario=Concei\xE7\xE3o\r\nsenha=a\xE7\xE3o\r\n"
            "[Se\xE7\xE3o]\r\nchave=Concei\xE7\xE3o\r\n");
  EXPECT_EQ(file.ReadString("Host", "senha"), "ação");
  EXPECT_EQ(file.ReadString("SEÇÃO", "chave"), "Conceição");
}

TEST_F(profile_file_test, utf8_file_stays_utf8) {
  ProfileFile file = WithContent("[Host]\nusuario=Conceição\n");
  file.WriteString("Host", "senha", "ação");
  EXPECT_EQ(Bytes(config), "[Host]\nusuario=Conceição\nsenha=ação\n");
}

TEST_F(profile_file_test, file_that_cannot_be_written_raises_unable_to_write) {
  Write(temp.Path() / "plain-file", "not a folder");
  fs::create_directory(temp.Path() / "a-folder");
  const fs::path read_only = temp.Path() / "read-only.ini";
  Write(read_only, "[S]\nk=1\n");
  fs::permissions(read_only,
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

  const fs::path cases[] = {
      temp.Path() / "missing-folder" / "ConfigBackup.ini",
      temp.Path() / "plain-file" / "ConfigBackup.ini",  // parent is a file
      temp.Path() / "a-folder",                         // the path is a folder
      read_only,  // refused even to root, as the read-only attribute is on Windows
  };
  for (const fs::path& path : cases) {
    ProfileFile file(path.string());
    try {
      file.WriteString("BackupRealizado", "Resultado", "S");
      ADD_FAILURE() << "wrote to " << path;
    } catch (const quillo::Exception& error) {
      EXPECT_EQ(error.what(), "Unable to write to " + path.string());
    }
  }
  EXPECT_EQ(Bytes(read_only), "[S]\nk=1\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 3);
}

TEST_F(profile_file_test, texts_that_would_break_the_file_structure_are_refused) {
  ProfileFile file = WithContent("[S]\nk=1\n");
  EXPECT_THROW(file.WriteString("S", "k", "1\r\n[Evil]"), std::invalid_argument);
  EXPECT_THROW(file.WriteString("S]x", "k", "v"), std::invalid_argument);
  EXPECT_THROW(file.WriteString("S", "a=b", "v"), std::invalid_argument);
  EXPECT_THROW(file.WriteString("", "k", "v"), std::invalid_argument);
  EXPECT_EQ(Bytes(config), "[S]\nk=1\n");
}

}  // namespace
}  // namespace quillo::app
