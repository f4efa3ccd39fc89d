// The lists servers send in one parameter: items split by one separator
// (space in CAP, comma in a capability's value), each "name" or
// "name=value". Read in place, without copies.
#ifndef QV_PROTOCOL_ITEMS_H
#define QV_PROTOCOL_ITEMS_H

#include <cstddef>
#include <iterator>
#include <optional>
#include <string_view>

struct Item {
    std::string_view name;
    std::optional<std::string_view> value;  // none without '='
};

// for (const auto [name, value] : Items(list, ',')): the items in order,
// empty ones (doubled separators) passed over.
class Items {
public:
    Items(std::string_view list, char sep) : list_(list), sep_(sep) {}

    class Iterator {
    public:
        Iterator(std::string_view rest, char sep) : rest_(rest), sep_(sep) { Next(); }
        Item operator*() const {
            const std::size_t eq = item_.find('=');
            if (eq == std::string_view::npos) return {item_, std::nullopt};
            return {item_.substr(0, eq), item_.substr(eq + 1)};
        }
        Iterator& operator++() {
            Next();
            return *this;
        }
        bool operator==(std::default_sentinel_t) const { return item_.empty(); }

    private:
        void Next() {
            item_ = {};
            while (item_.empty() && !rest_.empty()) {
                const std::size_t end = rest_.find(sep_);
                item_ = rest_.substr(0, end);
                rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
            }
        }
        std::string_view rest_, item_;
        char sep_;
    };

    Iterator begin() const { return {list_, sep_}; }
    std::default_sentinel_t end() const { return {}; }

private:
    std::string_view list_;
    char sep_;
};

#endif
