#include "test_support.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>

namespace quillo::archive::test {

std::uint32_t MemoryIo::ReadInput(std::uint8_t* buffer, std::uint32_t count) {
  read_requests_.push_back(count);
  const std::size_t n = std::min<std::size_t>({count, max_read_, input_.size() - position_});
  if (n > 0) std::memcpy(buffer, input_.data() + position_, n);
  position_ += n;
  return static_cast<std::uint32_t>(n);
}

void MemoryIo::WriteOutput(const std::uint8_t* buffer, std::uint32_t count) {
  write_calls_++;
  output_.insert(output_.end(), buffer, buffer + count);
}

Compressed compress(Deflater& deflater, const Bytes& input, int level, std::uint32_t max_read) {
  MemoryIo io(input, max_read);
  Compressed c;
  c.result = deflater.deflate(level, io);
  c.data = io.output();
  return c;
}

Compressed compress(const Bytes& input, int level) {
  Deflater deflater;
  return compress(deflater, input, level);
}

Bytes zlib_inflate(const Bytes& data, std::size_t expected_size) {
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) throw std::runtime_error("inflateInit2 failed");
  Bytes out(expected_size + 1);
  s.next_in = const_cast<Bytef*>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&s, Z_FINISH);
  const std::size_t produced = s.total_out;
  const std::size_t left = s.avail_in;
  inflateEnd(&s);
  if (rc != Z_STREAM_END) throw std::runtime_error("zlib: " + std::to_string(rc));
  if (left != 0) throw std::runtime_error("bytes after the end of the stream");
  out.resize(produced);
  return out;
}

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng() >> 24);
  return b;
}

Bytes random_without_repeats(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<bool> seen(1u << 24);
  Bytes b;
  b.reserve(n);
  while (b.size() < n) {
    const auto c = static_cast<std::uint8_t>(rng() >> 24);
    if (b.size() >= 2) {
      const std::size_t k = b.size();
      const unsigned triple = (unsigned{b[k - 2]} << 16) | (unsigned{b[k - 1]} << 8) | c;
      if (seen[triple]) continue;
      seen[triple] = true;
    }
    b.push_back(c);
  }
  return b;
}

namespace {

const char* const kWords[] = {
    "cliente", "rua",     "avenida", "pagamento", "pedido", "produto", "entrega",   "nota",
    "fiscal",  "valor",   "total",   "desconto",  "prazo",  "cidade",  "bairro",    "estado",
    "de",      "da",      "do",      "para",      "com",    "em",      "sem",       "que",
    "o",       "a",       "os",      "as",        "um",     "uma",     "São",       "Paulo",
    "Rio",     "Janeiro", "Minas",   "Gerais",    "João",   "Maria",   "Conceição", "Ação"};

}  // namespace

Bytes portuguese_text(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  b.reserve(n + 16);
  std::size_t line = 0;
  while (b.size() < n) {
    const std::string w = kWords[rng() % std::size(kWords)];
    b.insert(b.end(), w.begin(), w.end());
    line += w.size() + 1;
    if (line > 70) {
      b.push_back('\r');
      b.push_back('\n');
      line = 0;
    } else {
      b.push_back(rng() % 9 == 0 ? ',' : ' ');
    }
  }
  b.resize(n);
  return b;
}

Bytes binary_structs(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  auto next = [&rng] { return static_cast<std::uint32_t>(rng()); };
  Bytes b;
  b.reserve(n + 32);
  std::uint32_t counter = 1000;
  while (b.size() < n) {
    const std::uint32_t fields[6] = {counter++,
                                     next() % 5000,
                                     next(),
                                     0,
                                     next() % 3 == 0 ? 0xFFFFFFFFu : 0u,
                                     static_cast<std::uint32_t>(next() % 100000) * 100};
    for (std::uint32_t f : fields) {
      for (int i = 0; i < 4; i++) b.push_back(static_cast<std::uint8_t>(f >> (8 * i)));
    }
  }
  b.resize(n);
  return b;
}

Bytes table_records(std::size_t n, std::uint32_t seed) {
  static const char* const kFirst[] = {"JOSE",   "MARIA", "ANTONIO", "FRANCISCA",
                                       "CARLOS", "ANA",   "PAULO",   "ADRIANA"};
  static const char* const kLast[] = {"SILVA",     "SANTOS",   "OLIVEIRA", "SOUZA",
                                      "RODRIGUES", "FERREIRA", "ALVES",    "PEREIRA"};
  static const char* const kStreet[] = {"RUA DAS FLORES", "AV BRASIL", "RUA XV DE NOVEMBRO",
                                        "AV PAULISTA", "RUA DO COMERCIO"};
  std::mt19937 rng(seed);
  Bytes b;
  b.reserve(n + 256);
  unsigned id = 1;
  auto field = [&b](const std::string& s, std::size_t width) {
    for (std::size_t i = 0; i < width; i++)
      b.push_back(i < s.size() ? static_cast<std::uint8_t>(s[i]) : ' ');
  };
  while (b.size() < n) {
    b.push_back(0x20);  // record status byte
    for (int i = 0; i < 4; i++) b.push_back(static_cast<std::uint8_t>(id >> (8 * i)));
    field(std::string(kFirst[rng() % 8]) + " " + kLast[rng() % 8] + " " + kLast[rng() % 8], 40);
    field(std::string(kStreet[rng() % 5]) + ", " + std::to_string(rng() % 3000), 45);
    field(std::to_string(10000000 + rng() % 89999999), 8);
    const std::uint32_t cents = rng() % 1000000;
    for (int i = 0; i < 4; i++) b.push_back(static_cast<std::uint8_t>(cents >> (8 * i)));
    id++;
  }
  b.resize(n);
  return b;
}

Bytes repeated_byte(std::size_t n, std::uint8_t byte) {
  return Bytes(n, byte);
}

Bytes bytes_of(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

}  // namespace quillo::archive::test
