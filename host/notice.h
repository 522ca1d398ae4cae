#pragma once
// Tells the user that the game needs the player, then opens the player's
// download page. Returns once the box is closed and the page handed on.

// The player's download page.
inline constexpr wchar_t flashPlayerDownloadAddress[] = L"https://get.adobe.com/flashplayer/";

void showFlashPlayerNotice();
