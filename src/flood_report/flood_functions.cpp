// Python entry point of the flood metrics: flood_metrics(text) -> dict.
#include "flood_report/flood.hpp"
#include "flood_report/registry.hpp"
#include "module/boundary.hpp"
#include "module/dict_keys.hpp"

namespace fenwa {
namespace {

using py::Ref;

constexpr auto kFloodSig = py::function_decl(
    "flood_metrics", {{"text"}},
    "The repetition metrics of `text`, a dict of fractions in [0, 1] and the\n"
    "count 'repeats', from one tokenisation pass. fenwa_host.flood_report() is the public "
    "interface.");

py::Key kTop[] = {py::Key{"top_2_gram_char_frac"}, py::Key{"top_3_gram_char_frac"},
                  py::Key{"top_4_gram_char_frac"}};
py::Key kDupGram[] = {py::Key{"dup_5_gram_char_frac"}, py::Key{"dup_6_gram_char_frac"},
                      py::Key{"dup_7_gram_char_frac"}, py::Key{"dup_8_gram_char_frac"},
                      py::Key{"dup_9_gram_char_frac"}, py::Key{"dup_10_gram_char_frac"}};

Ref flood_metrics(const py::Bound<1>& a) {
    const std::string_view text = a.get<py::to_text>(0);
    const flood::Metrics m = flood::flood_metrics(text);
    py::DictBuilder d;
    d.set(py::key<"dup_line_frac">(), py::new_float(m.dup_line_frac));
    d.set(py::key<"dup_para_frac">(), py::new_float(m.dup_para_frac));
    d.set(py::key<"dup_line_char_frac">(), py::new_float(m.dup_line_char_frac));
    d.set(py::key<"dup_para_char_frac">(), py::new_float(m.dup_para_char_frac));
    for (std::size_t i = 0; i < 3; ++i) d.set(kTop[i], py::new_float(m.top_ngram_char_frac[i]));
    for (std::size_t i = 0; i < 6; ++i) d.set(kDupGram[i], py::new_float(m.dup_ngram_char_frac[i]));
    d.set(py::key<"token_saturation">(), py::new_float(m.token_saturation));
    d.set(py::key<"raw_token_saturation">(), py::new_float(m.raw_token_saturation));
    d.set(py::key<"char_saturation">(), py::new_float(m.char_saturation));
    d.set(py::key<"longest_run_frac">(), py::new_float(m.longest_run_frac));
    d.set(py::key<"repeats">(), py::new_int(m.repeats));
    return d.finish();
}

}  // namespace

PyMethodDef flood_metrics_def = py::function_def<kFloodSig, flood_metrics>();

}  // namespace fenwa
