// The parser choice for vorlane_rpc, measured outside Python: the decoder
// (simdjson On-Demand) on a file of one answer, beside nlohmann/json's SAX
// parser walking the same bytes with a handler that keeps nothing (the least
// a SAX decoder could cost) and a plain copy of the bytes (what the decoder's
// padded copy costs).  bench_rpc_decode.py builds and runs it.
//
//   rpc_parsers FILE KIND CALLS REPEATS  ->  "name ns-per-answer" lines
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "vorlane/rpc_decode.hpp"

namespace {

struct NullSax : nlohmann::json_sax<nlohmann::json> {
    std::size_t events = 0;
    bool null() override { return ++events; }
    bool boolean(bool) override { return ++events; }
    bool number_integer(number_integer_t) override { return ++events; }
    bool number_unsigned(number_unsigned_t) override { return ++events; }
    bool number_float(number_float_t, const string_t&) override { return ++events; }
    bool string(string_t&) override { return ++events; }
    bool binary(binary_t&) override { return ++events; }
    bool start_object(std::size_t) override { return ++events; }
    bool key(string_t&) override { return ++events; }
    bool end_object() override { return ++events; }
    bool start_array(std::size_t) override { return ++events; }
    bool end_array() override { return ++events; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }
};

template <class F>
double best_ns(int repeats, F&& f) {
    double best = 1e300;
    for (int r = 0; r < 5; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < repeats; ++i) f();
        const std::chrono::duration<double, std::nano> d = std::chrono::steady_clock::now() - start;
        best = std::min(best, d.count() / repeats);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    std::ifstream in(argv[1], std::ios::binary);
    const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<std::uint8_t> kinds(std::strtoul(argv[3], nullptr, 10),
                                          static_cast<std::uint8_t>(std::atoi(argv[2])));
    const int repeats = std::atoi(argv[4]);

    vorlane::rpc::Decoder decoder;
    vorlane::rpc::Answer answer;
    vorlane::rpc::Failure failure;
    if (!decoder.decode(body, kinds, answer, failure)) {
        std::fprintf(stderr, "%s\n", failure.message.c_str());
        return 1;
    }
    std::printf("simdjson_on_demand %.0f\n", best_ns(repeats, [&] {
                    if (!decoder.decode(body, kinds, answer, failure)) std::abort();
                }));
    std::printf("nlohmann_sax_null %.0f\n", best_ns(repeats, [&] {
                    NullSax sax;
                    if (!nlohmann::json::sax_parse(body, &sax)) std::abort();
                }));
    auto copy = std::make_unique<char[]>(body.size() + 64);
    std::printf("copy %.0f\n", best_ns(repeats * 10, [&] {
                    std::memcpy(copy.get(), body.data(), body.size());
                    asm volatile("" : : "r"(copy.get()) : "memory");
                }));
    return 0;
}
