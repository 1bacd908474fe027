#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>
#include <vector>

// Recognising one flat in two listings with different ids: the same flat posted again by its
// agent under a new id, by another agent, or at another price. Pure text work, no database.
namespace domiva::flatkey {

// The address as two listings of one flat are compared: lower case, "ё" as "е", every run of
// characters that are neither letters nor digits as one blank, blanks trimmed. Contacts
// without a phone are compared the same way.
QString normalAddress(QStringView address);
// The rooms: trimmed, lower case.
QString normalRooms(QStringView rooms);
// The floors: their digits and "/" only ("5 / 9 эт." is "5/9").
QString normalFloor(QStringView floor);
// The phone numbers of a contact, each by its last 10 digits, in the order they stand. A
// phone is a run of at least 7 digits once blanks, "-", "(", ")", "." and "+" between digits
// are dropped: "8-916-123-45-67", "+7 (916) 123 45 67" and "89161234567" are one phone.
QStringList phones(QStringView contact);

// The fields of a listing that tell its flat.
struct FlatFields {
    QStringView address; // metro_obj
    QStringView rooms;   // room_obj
    QStringView floor;   // flat_obj
    QStringView contact; // cont_obj
};

// The keys of the flat, one per phone of the contact (or one for the contact's text when it
// holds no phone); none when the address is empty, which matches nothing. Two listings are
// the same flat when they share a key. The keys are stable: they are stored in the file.
std::vector<qint64> keys(const FlatFields& flat);
// The same into `result`, whose room is used again: no allocation once it has held a few.
void keys(const FlatFields& flat, std::vector<qint64>& result);

// A price compared with another as the number its digits form: negative when a is lower,
// positive when higher, 0 when equal; nullopt when either has no digits.
std::optional<int> comparePrices(QStringView a, QStringView b);

} // namespace domiva::flatkey
