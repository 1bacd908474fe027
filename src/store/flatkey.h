#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>
#include <vector>

// Recognising one flat in two listings with different ids: the same flat posted again by its
// agent under a new id, by another agent, or at another price. Pure text work, no database.
namespace domiva::flatkey {

// Every text below is brought to NFC first ("е" and a combining diaeresis are the "ё" they
// show), and a decimal digit of any script counts as its ASCII digit ("５" is "5").

// The address as two listings of one flat are compared: lower case, "ё" as "е", every run of
// characters that are neither letters nor digits as one blank, blanks trimmed. Contacts
// without a phone are compared the same way.
QString normalAddress(QStringView address);
// The rooms: trimmed, lower case.
QString normalRooms(QStringView rooms);
// The floors: their digits and "/" only ("5 / 9 эт." is "5/9"); empty when they hold no digit
// (a floor of "/" or "эт." tells no flat).
QString normalFloor(QStringView floor);
// The phone numbers of a contact, each by its last 10 digits, in the order they stand. A
// phone is a run of at least 7 digits once blanks (every Unicode space), "-", "(", ")", "."
// and "+" between digits are dropped: "8-916-123-45-67", "+7 (916) 123 45 67" and
// "89161234567" are one phone. A run that holds a full number (11 digits when it starts with
// 7 or 8, otherwise 10) ends at the next blank or separator, so "8-916-123-45-67
// 8-926-765-43-21" is two phones and "89161234567 2024" one.
QStringList phones(QStringView contact);

// The fields of a listing that tell its flat.
struct FlatFields {
    QStringView address; // metro_obj
    QStringView rooms;   // room_obj
    QStringView floor;   // flat_obj
    QStringView contact; // cont_obj
};

// The keys of the flat, one per phone of the contact (or one for the contact's text when it
// holds no phone); none when the address or the floor normalises to nothing, which matches
// nothing. Two listings are the same flat when they share a key. The keys are stored in the
// file: a listing keeps its keys from one build to the next unless keysVersion changes.
std::vector<qint64> keys(const FlatFields& flat);
// The same into `result`, whose room is used again: no allocation once it has held a few.
void keys(const FlatFields& flat, std::vector<qint64>& result);
// The rules keys() follows. Raised whenever keys() gives another result for some listing, so
// that a file whose stored keys were made by earlier rules is keyed again.
inline constexpr int keysVersion = 2;

// A price compared with another as the number its digits form: negative when a is lower,
// positive when higher, 0 when equal; nullopt when either has no digits.
std::optional<int> comparePrices(QStringView a, QStringView b);

} // namespace domiva::flatkey
