#include "lma/walk.hpp"

#include "lma/stream.hpp"

namespace lma {

Status seek_first_record(std::FILE* in, const Header& h) noexcept {
    return seek(in, static_cast<long>(h.pos_begin), SEEK_SET);
}

Status next_record(std::FILE* in, bool& more) noexcept {
    more = false;
    // The error indicator is sticky; only this read's failure counts.
    std::clearerr(in);
    if (std::fgetc(in) == EOF) {
        // A failing read also gives EOF, but it is no end of the data.
        return std::ferror(in) ? Status{Errc::read, 0} : ok();
    }
    Status s = seek(in, -1, SEEK_CUR);
    more = s.ok();
    return s;
}

}  // namespace lma
