#pragma once
// Tells the user that the game needs the player, then opens the player's
// download page. Returns once the box is closed and the page handed on.

void showFlashPlayerNotice(const wchar_t* downloadAddress);
