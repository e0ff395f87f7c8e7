// Ends the Windows tests' wineserver (their own prefix only) after the group.
import { stopWine } from './wine.js';

stopWine();
